// The telemetry line: the dispatch callback that turns each delivered record into the line.
#pragma once

#include <SimConnect.h>

#include <string>

namespace skyhelm {

// "v1.2": opens every line. Lives from program start to exit.
extern const std::string ProtocolTag;

// The most recent telemetry line, with its final line feed; empty until the first data message.
// Written only by HandleSimMessage, read only by the send step, both on the loop's thread.
extern std::string LatestLine;

// The dispatch callback (see DispatchProc).
void CALLBACK HandleSimMessage(SIMCONNECT_RECV* pData, DWORD cbData, void* pContext);

}  // namespace skyhelm
