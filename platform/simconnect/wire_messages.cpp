// Simulator messages: what the stand-in simulator sends and the client library's tests expect.
#include "platform/simconnect/wire_internal.h"
#include "platform/simconnect/wire_protocol.h"

namespace skyhelm::wire {
namespace {

using internal::BeginMessage;
using internal::EndFrame;
using internal::PutF32;
using internal::PutText;
using internal::StoreU32;

constexpr std::size_t kMaxPathBytes = 260;  // szString of RECV_SYSTEM_STATE
constexpr std::uint32_t kUnknownGroup = 0xFFFFFFFFu;

}  // namespace

void EncodeOpenMessage(std::uint32_t protocol, const std::string& application_name,
                       const OpenMessageVersions& versions, std::vector<std::uint8_t>& out) {
  const std::size_t at = BeginMessage(out, protocol, kRecvIdOpen);
  PutText(out, application_name);
  for (std::uint32_t value : versions.application) PutU32(out, value);
  for (std::uint32_t value : versions.simconnect) PutU32(out, value);
  PutU32(out, 0);  // two reserved words
  PutU32(out, 0);
  EndFrame(out, at);
}

void EncodeQuitMessage(std::uint32_t protocol, std::vector<std::uint8_t>& out) {
  const std::size_t at = out.size();
  out.resize(at + kMessageHeaderBytes);
  WriteQuitMessage(protocol, out.data() + at);
}

void WriteQuitMessage(std::uint32_t protocol, std::uint8_t* out) {
  StoreU32(out, static_cast<std::uint32_t>(kMessageHeaderBytes));
  StoreU32(out + 4, protocol);
  StoreU32(out + 8, kRecvIdQuit);
}

void EncodeExceptionMessage(std::uint32_t protocol, std::uint32_t exception, std::uint32_t send_id,
                            std::uint32_t index, std::vector<std::uint8_t>& out) {
  const std::size_t at = BeginMessage(out, protocol, kRecvIdException);
  PutU32(out, exception);
  PutU32(out, send_id);
  PutU32(out, index);
  EndFrame(out, at);
}

void EncodeEventMessage(std::uint32_t protocol, std::uint32_t group_id, std::uint32_t event_id,
                        std::uint32_t data, std::vector<std::uint8_t>& out) {
  const std::size_t at = BeginMessage(out, protocol, kRecvIdEvent);
  PutU32(out, group_id);
  PutU32(out, event_id);
  PutU32(out, data);
  EndFrame(out, at);
}

void EncodeFrameEventMessage(std::uint32_t protocol, std::uint32_t event_id, float frame_rate,
                             float sim_speed, std::vector<std::uint8_t>& out) {
  const std::size_t at = BeginMessage(out, protocol, kRecvIdEventFrame);
  PutU32(out, kUnknownGroup);
  PutU32(out, event_id);
  PutU32(out, 0);
  PutF32(out, frame_rate);
  PutF32(out, sim_speed);
  EndFrame(out, at);
}

void EncodeSystemStateMessage(std::uint32_t protocol, std::uint32_t request_id,
                              std::uint32_t integer, float real, const std::string& text,
                              std::vector<std::uint8_t>& out) {
  const std::size_t at = BeginMessage(out, protocol, kRecvIdSystemState);
  PutU32(out, request_id);
  PutU32(out, integer);
  PutF32(out, real);
  PutText(out, text, kMaxPathBytes);
  EndFrame(out, at);
}

void EncodeDataMessage(std::uint32_t protocol, const DataMessage& header, const std::uint8_t* block,
                       std::size_t block_size, std::vector<std::uint8_t>& out) {
  const std::size_t at =
      BeginMessage(out, protocol, header.client_data ? kRecvIdClientData : kRecvIdSimObjectData);
  // dwRequestID, dwObjectID, dwDefineID, dwFlags, dwentrynumber, dwoutof, dwDefineCount
  for (std::uint32_t value : {header.request_id, header.object_id, header.define_id, header.flags,
                              1u, 1u, header.define_count}) {
    PutU32(out, value);
  }
  out.insert(out.end(), block, block + block_size);
  EndFrame(out, at);
}

void EncodeSimObjectDataMessage(std::uint32_t protocol, std::uint32_t request_id,
                                std::uint32_t object_id, std::uint32_t define_id,
                                std::uint32_t define_count, const std::uint8_t* block,
                                std::size_t block_size, std::vector<std::uint8_t>& out) {
  EncodeDataMessage(protocol, {false, request_id, object_id, define_id, 0, define_count}, block,
                    block_size, out);
}

}  // namespace skyhelm::wire
