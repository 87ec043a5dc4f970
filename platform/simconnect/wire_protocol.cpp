// The parts of SimConnect's network protocol both directions share: framing, the library
// version blocks, and field helpers.
#include "platform/simconnect/wire_protocol.h"

#include <cstring>

#include "platform/simconnect/wire_internal.h"
#include "platform/text/text_util.h"

namespace skyhelm::wire {

namespace internal {

void PutText(std::vector<std::uint8_t>& out, const std::string& text, std::size_t field_bytes) {
  const std::size_t n = text.size() < field_bytes - 1 ? text.size() : field_bytes - 1;
  const std::size_t at = out.size();
  out.resize(at + field_bytes, 0);
  std::memcpy(out.data() + at, text.data(), n);
}

std::string GetText(const std::uint8_t* data) {
  const auto* text = reinterpret_cast<const char*>(data);
  return std::string(text, text::LengthToZero(text, kTextBytes));
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
  StoreU32(out.data() + at, static_cast<std::uint32_t>(out.size() - at));
}

void StoreU32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

}  // namespace internal

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

}  // namespace skyhelm::wire
