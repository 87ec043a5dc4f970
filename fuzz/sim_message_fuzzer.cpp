// Fuzz target: any message of any size handed to the bridge's dispatch callback.
//
// Invariants: no read outside the message; a message that is not a whole data message for the
// telemetry request (too short for the 40-byte header plus the 340-byte record included) leaves
// LatestLine as it was; a line that is built is printable text of the right shape that fits the
// 1024-byte send buffer with its "\r\n".
#include <SimConnect.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "fuzz/fuzz_check.h"
#include "platform/simconnect/wire_protocol.h"
#include "sim/telemetry.h"
#include "sim/telemetry_schema.h"

namespace {

constexpr std::size_t kWholeDataMessageBytes =
    skyhelm::wire::kSimObjectDataHeaderBytes + skyhelm::kTelemetryRecordBytes;
constexpr std::size_t kSendBufferBytes = 1024;
const std::string kSentinel = "sentinel line\n";

std::uint32_t WordAt(const std::uint8_t* data, std::size_t offset) {
  return skyhelm::wire::GetU32(data + offset);
}

void CheckLineShape(const std::string& line) {
  FUZZ_CHECK(line.size() + 2 <= kSendBufferBytes);
  FUZZ_CHECK(line.compare(0, 5, "v1.2,") == 0);
  FUZZ_CHECK(line.size() >= 7 && line.compare(line.size() - 2, 2, ",\n") == 0);
  std::size_t commas = 0;
  for (std::size_t i = 0; i + 1 < line.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(line[i]);
    FUZZ_CHECK(c >= 0x20 && c < 0x7F);  // nothing of the title or any raw byte leaks in
    if (c == ',') ++commas;
  }
  FUZZ_CHECK(commas == skyhelm::kTelemetryFieldCount + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto message = skyhelm::fuzz::ExactCopy(data, size);
  skyhelm::LatestLine = kSentinel;
  skyhelm::HandleSimMessage(reinterpret_cast<SIMCONNECT_RECV*>(message.get()),
                            static_cast<DWORD>(size), nullptr);

  const bool whole_telemetry = size >= kWholeDataMessageBytes &&
                               WordAt(message.get(), 8) == SIMCONNECT_RECV_ID_SIMOBJECT_DATA &&
                               WordAt(message.get(), 12) == skyhelm::kTelemetryRequest;
  if (!whole_telemetry) {
    FUZZ_CHECK(skyhelm::LatestLine == kSentinel);
    return 0;
  }
  CheckLineShape(skyhelm::LatestLine);
  return 0;
}
