// The telemetry line (formatting arrives with the running bridge).
#include "sim/telemetry.h"

namespace skyhelm {

const std::string ProtocolTag = "v1.2";
std::string LatestLine;

void CALLBACK HandleSimMessage(SIMCONNECT_RECV* /*pData*/, DWORD /*cbData*/, void* /*pContext*/) {}

}  // namespace skyhelm
