// Client requests: their encoders (the client library's side) and the one decoder the stand-in
// simulator frames every request with.
#include <cstring>

#include "platform/simconnect/wire_internal.h"
#include "platform/simconnect/wire_protocol.h"

namespace skyhelm::wire {
namespace {

using internal::BeginRequest;
using internal::EndFrame;
using internal::GetF32;
using internal::GetText;
using internal::PutF32;
using internal::PutText;

// Payload sizes of the fixed-layout requests (after the 16-byte header).
constexpr std::size_t kOpenPayload = kTextBytes + 4 + 1 + 3 + 4 * 4;
constexpr std::size_t kAddPayload = 4 + kTextBytes + kTextBytes + 4 + 4 + 4;
constexpr std::size_t kRequestDataPayload = 8 * 4;
constexpr std::size_t kMapPayload = 4 + kTextBytes;
constexpr std::size_t kTransmitPayload = 5 * 4;

// The general calls' layouts: W a word, T the 256-byte text, B the data bytes to the end.
const char* GeneralLayout(RequestType type) {
  switch (type) {
    case RequestType::kSetSystemEventState:
    case RequestType::kRemoveClientEvent:
    case RequestType::kSetNotificationGroupPriority:
      return "WW";
    case RequestType::kAddClientEventToNotificationGroup:
    case RequestType::kCreateClientData:
      return "WWW";
    case RequestType::kClearNotificationGroup:
    case RequestType::kClearDataDefinition:
    case RequestType::kUnsubscribeFromSystemEvent:
    case RequestType::kClearClientDataDefinition:
      return "W";
    case RequestType::kSetDataOnSimObject:
    case RequestType::kSetClientData:
      return "WWWWWB";
    case RequestType::kSubscribeToSystemEvent:
    case RequestType::kRequestSystemState:
      return "WT";
    case RequestType::kMapClientDataNameToId:
      return "TW";
    case RequestType::kAddToClientDataDefinition:
      return "WWWWW";
    case RequestType::kRequestClientData:
      return "WWWWWWWW";
    default:
      return nullptr;
  }
}

// The fixed part of a general layout in bytes; `open_ended` tells whether data may follow.
std::size_t FixedBytes(const char* layout, bool& open_ended) {
  std::size_t bytes = 0;
  open_ended = false;
  for (const char* c = layout; *c != '\0'; ++c) {
    if (*c == 'W') bytes += 4;
    if (*c == 'T') bytes += kTextBytes;
    if (*c == 'B') open_ended = true;
  }
  return bytes;
}

void DecodeGeneral(const char* layout, const std::uint8_t* p, std::size_t payload,
                   GeneralRequest& out) {
  std::size_t word = 0;
  const std::uint8_t* const end = p + payload;
  for (const char* c = layout; *c != '\0'; ++c) {
    if (*c == 'W') {
      out.words[word++] = GetU32(p);
      p += 4;
    } else if (*c == 'T') {
      out.text = GetText(p);
      p += kTextBytes;
    } else {
      out.data.assign(p, end);
    }
  }
}

}  // namespace

bool IsGeneralRequest(RequestType type) { return GeneralLayout(type) != nullptr; }

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

void EncodeGeneralRequest(RequestType type, const GeneralRequest& request, std::uint32_t protocol,
                          std::uint32_t send_id, std::vector<std::uint8_t>& out) {
  const char* layout = GeneralLayout(type);
  if (layout == nullptr) return;
  const std::size_t at = BeginRequest(out, type, protocol, send_id);
  std::size_t word = 0;
  for (const char* c = layout; *c != '\0'; ++c) {
    if (*c == 'W') PutU32(out, request.words[word++]);
    if (*c == 'T') PutText(out, request.text);
    if (*c == 'B') out.insert(out.end(), request.data.begin(), request.data.end());
  }
  EndFrame(out, at);
}

namespace {

// The payload size of a known fixed-layout operation; 0 for any other packet type.
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

void DecodeFixed(RequestType type, const std::uint8_t* p, Request& out) {
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
      break;
  }
}

}  // namespace

bool DecodeRequest(const std::uint8_t* data, std::size_t size, Request& out) {
  out = Request{};
  if (size < kRequestHeaderBytes || GetU32(data) != size) return false;
  out.protocol = GetU32(data + 4);
  out.packet_type = GetU32(data + 8);
  out.send_id = GetU32(data + 12);
  const std::uint8_t* p = data + kRequestHeaderBytes;
  const std::size_t payload = size - kRequestHeaderBytes;
  RequestType type = RequestType::kUnsupported;
  const std::size_t expected = PayloadOf(out.packet_type, type);
  if (expected != 0) {
    if (payload != expected) {
      out.size_mismatch = true;
      return true;
    }
    DecodeFixed(type, p, out);
    out.type = type;
    return true;
  }
  if ((out.packet_type & 0xFFFF0000u) != kPacketTypeBase) return true;
  const char* layout = GeneralLayout(type);
  if (layout == nullptr) return true;
  bool open_ended = false;
  const std::size_t fixed = FixedBytes(layout, open_ended);
  if (open_ended ? payload < fixed : payload != fixed) {
    out.size_mismatch = true;
    return true;
  }
  DecodeGeneral(layout, p, payload, out.general);
  out.type = type;
  return true;
}

}  // namespace skyhelm::wire
