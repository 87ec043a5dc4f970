// Encoding and decoding of the stand-in client library's byte protocol.
#include "platform/simconnect/wire_protocol.h"

#include <cstring>

namespace skyhelm::wire {
namespace {

constexpr std::uint32_t kMessageVersion = kProtocolVersion;
constexpr std::uint32_t kRecvIdException = 1;
constexpr std::uint32_t kRecvIdOpen = 2;
constexpr std::uint32_t kRecvIdQuit = 3;
constexpr std::uint32_t kRecvIdSimObjectData = 8;

// Payload sizes of the fixed-layout requests (after the 12-byte request header).
constexpr std::size_t kOpenPayload = 8 + kTextBytes;
constexpr std::size_t kAddPayload = 4 + kTextBytes + 4 + kTextBytes + 4 + 4 + 4;
constexpr std::size_t kRequestDataPayload = 8 * 4;
constexpr std::size_t kMapPayload = 4 + kTextBytes;
constexpr std::size_t kTransmitPayload = 5 * 4;

void PutText(std::vector<std::uint8_t>& out, const std::string& text) {
  const std::size_t n = text.size() < kTextBytes - 1 ? text.size() : kTextBytes - 1;
  const std::size_t at = out.size();
  out.resize(at + kTextBytes, 0);
  std::memcpy(out.data() + at, text.data(), n);
}

std::string GetText(const std::uint8_t* data) {
  const void* zero = std::memchr(data, 0, kTextBytes);
  const std::size_t n =
      zero != nullptr ? static_cast<std::size_t>(static_cast<const std::uint8_t*>(zero) - data)
                      : kTextBytes;
  return std::string(reinterpret_cast<const char*>(data), n);
}

float GetF32(const std::uint8_t* data) {
  const std::uint32_t bits = GetU32(data);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

void PutF32(std::vector<std::uint8_t>& out, float value) {
  std::uint32_t bits;
  std::memcpy(&bits, &value, sizeof bits);
  PutU32(out, bits);
}

// Starts a request and returns the offset of its size field, patched by EndFrame.
std::size_t BeginRequest(std::vector<std::uint8_t>& out, RequestType type, std::uint32_t send_id) {
  const std::size_t at = out.size();
  PutU32(out, 0);
  PutU32(out, static_cast<std::uint32_t>(type));
  PutU32(out, send_id);
  return at;
}

std::size_t BeginMessage(std::vector<std::uint8_t>& out, std::uint32_t recv_id) {
  const std::size_t at = out.size();
  PutU32(out, 0);
  PutU32(out, kMessageVersion);
  PutU32(out, recv_id);
  return at;
}

void EndFrame(std::vector<std::uint8_t>& out, std::size_t at) {
  const auto size = static_cast<std::uint32_t>(out.size() - at);
  for (int i = 0; i < 4; ++i)
    out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (8 * i));
}

}  // namespace

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

std::uint32_t GetU32(const std::uint8_t* data) {
  return static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
         static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
}

FrameStatus PeekFrame(const std::uint8_t* data, std::size_t available, std::size_t min_size,
                      std::size_t& frame_size) {
  if (available < 4) return FrameStatus::kIncomplete;
  const std::size_t size = GetU32(data);
  if (size < min_size || size < 4 || size > kMaxMessageBytes) return FrameStatus::kBroken;
  if (available < size) return FrameStatus::kIncomplete;
  frame_size = size;
  return FrameStatus::kComplete;
}

void EncodeOpen(const OpenRequest& request, std::uint32_t send_id, std::vector<std::uint8_t>& out) {
  const std::size_t at = BeginRequest(out, RequestType::kOpen, send_id);
  PutU32(out, request.magic);
  PutU32(out, request.protocol_version);
  PutText(out, request.client_name);
  EndFrame(out, at);
}

void EncodeAddToDataDefinition(const AddToDataDefinitionRequest& request, std::uint32_t send_id,
                               std::vector<std::uint8_t>& out) {
  const std::size_t at = BeginRequest(out, RequestType::kAddToDataDefinition, send_id);
  PutU32(out, request.define_id);
  PutText(out, request.datum_name);
  PutU32(out, request.has_units ? 1 : 0);
  PutText(out, request.units_name);
  PutU32(out, request.datum_type);
  PutF32(out, request.epsilon);
  PutU32(out, request.datum_id);
  EndFrame(out, at);
}

void EncodeRequestDataOnSimObject(const RequestDataOnSimObjectRequest& request,
                                  std::uint32_t send_id, std::vector<std::uint8_t>& out) {
  const std::size_t at = BeginRequest(out, RequestType::kRequestDataOnSimObject, send_id);
  for (std::uint32_t value :
       {request.request_id, request.define_id, request.object_id, request.period, request.flags,
        request.origin, request.interval, request.limit}) {
    PutU32(out, value);
  }
  EndFrame(out, at);
}

void EncodeMapClientEvent(const MapClientEventRequest& request, std::uint32_t send_id,
                          std::vector<std::uint8_t>& out) {
  const std::size_t at = BeginRequest(out, RequestType::kMapClientEventToSimEvent, send_id);
  PutU32(out, request.event_id);
  PutText(out, request.event_name);
  EndFrame(out, at);
}

void EncodeTransmitClientEvent(const TransmitClientEventRequest& request, std::uint32_t send_id,
                               std::vector<std::uint8_t>& out) {
  const std::size_t at = BeginRequest(out, RequestType::kTransmitClientEvent, send_id);
  for (std::uint32_t value :
       {request.object_id, request.event_id, request.data, request.group_id, request.flags}) {
    PutU32(out, value);
  }
  EndFrame(out, at);
}

void EncodeClose(std::uint32_t send_id, std::vector<std::uint8_t>& out) {
  EndFrame(out, BeginRequest(out, RequestType::kClose, send_id));
}

bool DecodeRequest(const std::uint8_t* data, std::size_t size, Request& out) {
  if (size < kRequestHeaderBytes || GetU32(data) != size) return false;
  const std::uint32_t type = GetU32(data + 4);
  out.send_id = GetU32(data + 8);
  const std::uint8_t* p = data + kRequestHeaderBytes;
  const std::size_t payload = size - kRequestHeaderBytes;
  switch (static_cast<RequestType>(type)) {
    case RequestType::kOpen:
      if (payload != kOpenPayload) return false;
      out.open.magic = GetU32(p);
      out.open.protocol_version = GetU32(p + 4);
      out.open.client_name = GetText(p + 8);
      break;
    case RequestType::kAddToDataDefinition:
      if (payload != kAddPayload) return false;
      out.add.define_id = GetU32(p);
      out.add.datum_name = GetText(p + 4);
      out.add.has_units = GetU32(p + 4 + kTextBytes) != 0;
      out.add.units_name = GetText(p + 8 + kTextBytes);
      out.add.datum_type = GetU32(p + 8 + 2 * kTextBytes);
      out.add.epsilon = GetF32(p + 12 + 2 * kTextBytes);
      out.add.datum_id = GetU32(p + 16 + 2 * kTextBytes);
      break;
    case RequestType::kRequestDataOnSimObject: {
      if (payload != kRequestDataPayload) return false;
      auto& r = out.request_data;
      std::uint32_t* fields[] = {&r.request_id, &r.define_id, &r.object_id, &r.period,
                                 &r.flags,      &r.origin,    &r.interval,  &r.limit};
      for (std::size_t i = 0; i < 8; ++i) *fields[i] = GetU32(p + 4 * i);
      break;
    }
    case RequestType::kMapClientEventToSimEvent:
      if (payload != kMapPayload) return false;
      out.map.event_id = GetU32(p);
      out.map.event_name = GetText(p + 4);
      break;
    case RequestType::kTransmitClientEvent: {
      if (payload != kTransmitPayload) return false;
      auto& t = out.transmit;
      std::uint32_t* fields[] = {&t.object_id, &t.event_id, &t.data, &t.group_id, &t.flags};
      for (std::size_t i = 0; i < 5; ++i) *fields[i] = GetU32(p + 4 * i);
      break;
    }
    case RequestType::kClose:
      if (payload != 0) return false;
      break;
    default:
      return false;
  }
  out.type = static_cast<RequestType>(type);
  return true;
}

void EncodeOpenMessage(const std::string& application_name, std::vector<std::uint8_t>& out) {
  const std::size_t at = BeginMessage(out, kRecvIdOpen);
  PutText(out, application_name);
  // Application version 0.1, build 0.0; client-library version 10.0, build 60905.0; two reserved.
  for (std::uint32_t value : {0u, 1u, 0u, 0u, 10u, 0u, 60905u, 0u, 0u, 0u}) PutU32(out, value);
  EndFrame(out, at);
}

void EncodeQuitMessage(std::vector<std::uint8_t>& out) {
  EndFrame(out, BeginMessage(out, kRecvIdQuit));
}

void EncodeExceptionMessage(std::uint32_t exception, std::uint32_t send_id, std::uint32_t index,
                            std::vector<std::uint8_t>& out) {
  const std::size_t at = BeginMessage(out, kRecvIdException);
  PutU32(out, exception);
  PutU32(out, send_id);
  PutU32(out, index);
  EndFrame(out, at);
}

void EncodeSimObjectDataMessage(std::uint32_t request_id, std::uint32_t object_id,
                                std::uint32_t define_id, std::uint32_t define_count,
                                const std::uint8_t* block, std::size_t block_size,
                                std::vector<std::uint8_t>& out) {
  const std::size_t at = BeginMessage(out, kRecvIdSimObjectData);
  // dwRequestID, dwObjectID, dwDefineID, dwFlags, dwentrynumber, dwoutof, dwDefineCount
  for (std::uint32_t value : {request_id, object_id, define_id, 0u, 1u, 1u, define_count}) {
    PutU32(out, value);
  }
  out.insert(out.end(), block, block + block_size);
  EndFrame(out, at);
}

}  // namespace skyhelm::wire
