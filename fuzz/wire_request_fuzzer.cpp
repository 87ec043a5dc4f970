// Fuzz target: a byte stream from a client of the stand-in simulator, framed and decoded request
// by request. A request of a known type (the general calls too, whose data runs to the end of the
// packet) must survive a round trip through its encoder unchanged;
// any other well-framed packet decodes as unsupported without being read past.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz/fuzz_check.h"
#include "platform/simconnect/wire_protocol.h"

namespace {

using skyhelm::wire::Request;
using skyhelm::wire::RequestType;

// The encoder keeps at most 255 bytes of a text field (the last byte is its terminator).
std::string Clipped(const std::string& text) {
  return text.size() < skyhelm::wire::kTextBytes ? text
                                                 : text.substr(0, skyhelm::wire::kTextBytes - 1);
}

std::vector<std::uint8_t> Reencode(const Request& r) {
  namespace wire = skyhelm::wire;
  std::vector<std::uint8_t> out;
  switch (r.type) {
    case RequestType::kOpen:
      wire::EncodeOpen(r.open, r.protocol, r.send_id, out);
      break;
    case RequestType::kAddToDataDefinition:
      wire::EncodeAddToDataDefinition(r.add, r.protocol, r.send_id, out);
      break;
    case RequestType::kRequestDataOnSimObject:
      wire::EncodeRequestDataOnSimObject(r.request_data, r.protocol, r.send_id, out);
      break;
    case RequestType::kMapClientEventToSimEvent:
      wire::EncodeMapClientEvent(r.map, r.protocol, r.send_id, out);
      break;
    case RequestType::kTransmitClientEvent:
      wire::EncodeTransmitClientEvent(r.transmit, r.protocol, r.send_id, out);
      break;
    default:
      if (wire::IsGeneralRequest(r.type)) {
        wire::EncodeGeneralRequest(r.type, r.general, r.protocol, r.send_id, out);
      }
      break;
  }
  return out;
}

bool SameBits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

void CheckSame(const Request& a, const Request& b) {
  FUZZ_CHECK(a.type == b.type && a.send_id == b.send_id && a.protocol == b.protocol);
  FUZZ_CHECK(a.packet_type == b.packet_type);
  switch (a.type) {
    case RequestType::kOpen:
      // The version block sent is the protocol's own, whatever the decoded one said.
      FUZZ_CHECK(Clipped(a.open.client_name) == b.open.client_name);
      break;
    case RequestType::kAddToDataDefinition:
      FUZZ_CHECK(a.add.define_id == b.add.define_id);
      FUZZ_CHECK(Clipped(a.add.datum_name) == b.add.datum_name);
      FUZZ_CHECK(Clipped(a.add.units_name) == b.add.units_name);
      FUZZ_CHECK(a.add.datum_type == b.add.datum_type && a.add.datum_id == b.add.datum_id);
      FUZZ_CHECK(SameBits(a.add.epsilon, b.add.epsilon));
      break;
    case RequestType::kRequestDataOnSimObject:
      FUZZ_CHECK(a.request_data.request_id == b.request_data.request_id);
      FUZZ_CHECK(a.request_data.period == b.request_data.period);
      FUZZ_CHECK(a.request_data.limit == b.request_data.limit);
      break;
    case RequestType::kMapClientEventToSimEvent:
      FUZZ_CHECK(a.map.event_id == b.map.event_id);
      FUZZ_CHECK(Clipped(a.map.event_name) == b.map.event_name);
      break;
    case RequestType::kTransmitClientEvent:
      FUZZ_CHECK(a.transmit.event_id == b.transmit.event_id && a.transmit.data == b.transmit.data);
      FUZZ_CHECK(a.transmit.group_id == b.transmit.group_id &&
                 a.transmit.flags == b.transmit.flags);
      break;
    default:
      FUZZ_CHECK(a.general.words == b.general.words && a.general.data == b.general.data);
      FUZZ_CHECK(Clipped(a.general.text) == b.general.text);
      break;
  }
}

void CheckOneRequest(const std::uint8_t* frame, std::size_t size) {
  auto exact = skyhelm::fuzz::ExactCopy(frame, size);
  Request decoded;
  // A framed packet always has a usable header.
  FUZZ_CHECK(skyhelm::wire::DecodeRequest(exact.get(), size, decoded));
  if (decoded.type == RequestType::kUnsupported) return;
  // Every request type has a fixed layout (plus, for two, the data to the end), so a decoded
  // request re-encodes to the same size.
  const std::vector<std::uint8_t> again = Reencode(decoded);
  FUZZ_CHECK(again.size() == size);
  Request round_trip;
  FUZZ_CHECK(skyhelm::wire::DecodeRequest(again.data(), again.size(), round_trip));
  CheckSame(decoded, round_trip);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The input is the stream as the simulator's receive buffer holds it; each complete frame is
  // decoded from its own exactly-sized buffer, as the server hands it on.
  auto stream = skyhelm::fuzz::ExactCopy(data, size);
  std::size_t offset = 0;
  while (offset < size) {
    std::size_t frame_size = 0;
    const auto status = skyhelm::wire::PeekFrame(stream.get() + offset, size - offset,
                                                 skyhelm::wire::kRequestHeaderBytes, frame_size);
    if (status != skyhelm::wire::FrameStatus::kComplete) break;
    FUZZ_CHECK(frame_size >= skyhelm::wire::kRequestHeaderBytes);
    FUZZ_CHECK(frame_size <= size - offset && frame_size <= skyhelm::wire::kMaxMessageBytes);
    CheckOneRequest(stream.get() + offset, frame_size);
    offset += frame_size;
  }
  return 0;
}
