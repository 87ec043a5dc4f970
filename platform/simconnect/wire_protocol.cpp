// Encoding and decoding of SimConnect's network protocol, shared by the client library and the
// stand-in simulator.
#include "platform/simconnect/wire_protocol.h"

#include <cstring>

namespace skyhelm::wire {
namespace {

constexpr std::uint32_t kRecvIdException = 1;
constexpr std::uint32_t kRecvIdOpen = 2;
constexpr std::uint32_t kRecvIdQuit = 3;
constexpr std::uint32_t kRecvIdSimObjectData = 8;

// Payload sizes of the fixed-layout requests (after the 16-byte header).
constexpr std::size_t kOpenPayload = kTextBytes + 4 + 1 + 3 + 4 * 4;
constexpr std::size_t kAddPayload = 4 + kTextBytes + kTextBytes + 4 + 4 + 4;
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
std::size_t BeginRequest(std::vector<std::uint8_t>& out, RequestType type, std::uint32_t protocol,
                         std::uint32_t send_id) {
  const std::size_t at = out.size();
  PutU32(out, 0);
  PutU32(out, protocol);
  PutU32(out, kPacketTypeBase | static_cast<std::uint32_t>(type));
  PutU32(out, send_id);
  return at;
}

std::size_t BeginMessage(std::vector<std::uint8_t>& out, std::uint32_t protocol,
                         std::uint32_t recv_id) {
  const std::size_t at = out.size();
  PutU32(out, 0);
  PutU32(out, protocol);
  PutU32(out, recv_id);
  return at;
}

void EndFrame(std::vector<std::uint8_t>& out, std::size_t at) {
  const auto size = static_cast<std::uint32_t>(out.size() - at);
  for (int i = 0; i < 4; ++i)
    out[at + static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(size >> (8 * i));
}

}  // namespace

LibraryVersion LibraryVersionOf(std::uint32_t protocol) {
  switch (protocol) {
    case 2:
      return {{'X', 'S', 'F'}, 0, 0, 60905, 0};
    case 3:
      return {{'X', 'S', 'F'}, 10, 0, 61355, 0};
    case 5:
      return {{'H', 'K', 0}, 11, 0, 62651, 3};
    case 6:
      return {{'R', 'S', 0}, 12, 2, 282174, 999};
    default:
      return {{'X', 'S', 'F'}, 10, 0, 61259, 0};
  }
}

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

void EncodeOpen(const OpenRequest& request, std::uint32_t protocol, std::uint32_t send_id,
                std::vector<std::uint8_t>& out) {
  const std::size_t at = BeginRequest(out, RequestType::kOpen, protocol, send_id);
  const LibraryVersion version = LibraryVersionOf(protocol);
  PutText(out, request.client_name);
  PutU32(out, 0);
  out.push_back(0);
  out.insert(out.end(), version.alias.begin(), version.alias.end());
  for (std::uint32_t value :
       {version.major, version.minor, version.build_major, version.build_minor}) {
    PutU32(out, value);
  }
  EndFrame(out, at);
}

void EncodeAddToDataDefinition(const AddToDataDefinitionRequest& request, std::uint32_t protocol,
                               std::uint32_t send_id, std::vector<std::uint8_t>& out) {
  const std::size_t at = BeginRequest(out, RequestType::kAddToDataDefinition, protocol, send_id);
  PutU32(out, request.define_id);
  PutText(out, request.datum_name);
  PutText(out, request.units_name);
  PutU32(out, request.datum_type);
  PutF32(out, request.epsilon);
  PutU32(out, request.datum_id);
  EndFrame(out, at);
}

void EncodeRequestDataOnSimObject(const RequestDataOnSimObjectRequest& request,
                                  std::uint32_t protocol, std::uint32_t send_id,
                                  std::vector<std::uint8_t>& out) {
  const std::size_t at = BeginRequest(out, RequestType::kRequestDataOnSimObject, protocol, send_id);
  for (std::uint32_t value :
       {request.request_id, request.define_id, request.object_id, request.period, request.flags,
        request.origin, request.interval, request.limit}) {
    PutU32(out, value);
  }
  EndFrame(out, at);
}

void EncodeMapClientEvent(const MapClientEventRequest& request, std::uint32_t protocol,
                          std::uint32_t send_id, std::vector<std::uint8_t>& out) {
  const std::size_t at =
      BeginRequest(out, RequestType::kMapClientEventToSimEvent, protocol, send_id);
  PutU32(out, request.event_id);
  PutText(out, request.event_name);
  EndFrame(out, at);
}

void EncodeTransmitClientEvent(const TransmitClientEventRequest& request, std::uint32_t protocol,
                               std::uint32_t send_id, std::vector<std::uint8_t>& out) {
  const std::size_t at = BeginRequest(out, RequestType::kTransmitClientEvent, protocol, send_id);
  for (std::uint32_t value :
       {request.object_id, request.event_id, request.data, request.group_id, request.flags}) {
    PutU32(out, value);
  }
  EndFrame(out, at);
}

namespace {

// The payload size of a known operation's layout; 0 for a packet type this code does not know.
std::size_t PayloadOf(std::uint32_t packet_type, RequestType& type) {
  if ((packet_type & 0xFFFF0000u) != kPacketTypeBase) return 0;
  type = static_cast<RequestType>(packet_type & 0xFFFFu);
  switch (type) {
    case RequestType::kOpen:
      return kOpenPayload;
    case RequestType::kMapClientEventToSimEvent:
      return kMapPayload;
    case RequestType::kTransmitClientEvent:
      return kTransmitPayload;
    case RequestType::kAddToDataDefinition:
      return kAddPayload;
    case RequestType::kRequestDataOnSimObject:
      return kRequestDataPayload;
    default:
      return 0;
  }
}

}  // namespace

bool DecodeRequest(const std::uint8_t* data, std::size_t size, Request& out) {
  if (size < kRequestHeaderBytes || GetU32(data) != size) return false;
  out.protocol = GetU32(data + 4);
  out.packet_type = GetU32(data + 8);
  out.send_id = GetU32(data + 12);
  out.type = RequestType::kUnsupported;
  out.size_mismatch = false;
  RequestType type = RequestType::kUnsupported;
  const std::size_t expected = PayloadOf(out.packet_type, type);
  const std::uint8_t* p = data + kRequestHeaderBytes;
  const std::size_t payload = size - kRequestHeaderBytes;
  if (expected == 0) return true;
  if (payload != expected) {
    out.size_mismatch = true;
    return true;
  }
  switch (type) {
    case RequestType::kOpen: {
      out.open.client_name = GetText(p);
      LibraryVersion& v = out.open.version;
      std::memcpy(v.alias.data(), p + kTextBytes + 5, 3);
      std::uint32_t* fields[] = {&v.major, &v.minor, &v.build_major, &v.build_minor};
      for (std::size_t i = 0; i < 4; ++i) *fields[i] = GetU32(p + kTextBytes + 8 + 4 * i);
      break;
    }
    case RequestType::kAddToDataDefinition:
      out.add.define_id = GetU32(p);
      out.add.datum_name = GetText(p + 4);
      out.add.units_name = GetText(p + 4 + kTextBytes);
      out.add.datum_type = GetU32(p + 4 + 2 * kTextBytes);
      out.add.epsilon = GetF32(p + 8 + 2 * kTextBytes);
      out.add.datum_id = GetU32(p + 12 + 2 * kTextBytes);
      break;
    case RequestType::kRequestDataOnSimObject: {
      auto& r = out.request_data;
      std::uint32_t* fields[] = {&r.request_id, &r.define_id, &r.object_id, &r.period,
                                 &r.flags,      &r.origin,    &r.interval,  &r.limit};
      for (std::size_t i = 0; i < 8; ++i) *fields[i] = GetU32(p + 4 * i);
      break;
    }
    case RequestType::kMapClientEventToSimEvent:
      out.map.event_id = GetU32(p);
      out.map.event_name = GetText(p + 4);
      break;
    case RequestType::kTransmitClientEvent: {
      auto& t = out.transmit;
      std::uint32_t* fields[] = {&t.object_id, &t.event_id, &t.data, &t.group_id, &t.flags};
      for (std::size_t i = 0; i < 5; ++i) *fields[i] = GetU32(p + 4 * i);
      break;
    }
    default:
      return true;
  }
  out.type = type;
  return true;
}

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
  EndFrame(out, BeginMessage(out, protocol, kRecvIdQuit));
}

void EncodeExceptionMessage(std::uint32_t protocol, std::uint32_t exception, std::uint32_t send_id,
                            std::uint32_t index, std::vector<std::uint8_t>& out) {
  const std::size_t at = BeginMessage(out, protocol, kRecvIdException);
  PutU32(out, exception);
  PutU32(out, send_id);
  PutU32(out, index);
  EndFrame(out, at);
}

void EncodeSimObjectDataMessage(std::uint32_t protocol, std::uint32_t request_id,
                                std::uint32_t object_id, std::uint32_t define_id,
                                std::uint32_t define_count, const std::uint8_t* block,
                                std::size_t block_size, std::vector<std::uint8_t>& out) {
  const std::size_t at = BeginMessage(out, protocol, kRecvIdSimObjectData);
  // dwRequestID, dwObjectID, dwDefineID, dwFlags, dwentrynumber, dwoutof, dwDefineCount
  for (std::uint32_t value : {request_id, object_id, define_id, 0u, 1u, 1u, define_count}) {
    PutU32(out, value);
  }
  out.insert(out.end(), block, block + block_size);
  EndFrame(out, at);
}

}  // namespace skyhelm::wire
