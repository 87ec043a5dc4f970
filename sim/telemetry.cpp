// The telemetry line: from the delivered record to LatestLine.
#include "sim/telemetry.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "sim/number_format.h"
#include "sim/telemetry_schema.h"

namespace skyhelm {
namespace {

// Byte offsets in the packed SIMCONNECT_RECV_SIMOBJECT_DATA message (offsetof is not portable
// on it: a derived struct is not standard-layout): the 12-byte header, then dwRequestID and six
// more words, then the record at dwData.
constexpr std::size_t kMessageIdOffset = offsetof(SIMCONNECT_RECV, dwID);
constexpr std::size_t kRequestIdOffset = sizeof(SIMCONNECT_RECV);
constexpr std::size_t kRecordOffset = sizeof(SIMCONNECT_RECV_SIMOBJECT_DATA) - sizeof(DWORD);
static_assert(kRecordOffset == 40 &&
              kRecordOffset + kTelemetryRecordBytes == kTelemetryMessageBytes);

// The longest line: the tag, each field's comma and longest text, ",\n". "-2147483648" is the
// longest integer text. Kept below the send buffer with room for "\r\n" and a final zero.
constexpr std::size_t LongestLineBytes() {
  std::size_t bytes = 4 + 2;
  for (const TelemetryField& field : kTelemetryFields) {
    bytes += 1 + (field.kind == FieldKind::kInt32 ? 11 : kNumberTextCapacity - 1);
  }
  return bytes;
}
constexpr std::size_t kLineCapacity = 1024;
static_assert(LongestLineBytes() + 3 <= kLineCapacity);

std::string EmptyLineWithCapacity() {
  std::string line;
  line.reserve(kLineCapacity);
  return line;
}

// The message's bytes are read one by one: the record sits at any alignment and is
// little-endian on the wire, whatever the host.
std::uint32_t ReadWord(const unsigned char* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

NumberText FieldText(const unsigned char* record, const TelemetryField& field) {
  const std::uint32_t word = ReadWord(record + field.record_offset);
  if (field.kind == FieldKind::kInt32) {
    std::int32_t value;
    std::memcpy(&value, &word, sizeof value);
    return FormatInt(value);
  }
  float value;
  std::memcpy(&value, &word, sizeof value);
  return FormatReal(value);
}

void BuildLine(const unsigned char* record) {
  LatestLine.assign(ProtocolTag);
  for (const TelemetryField& field : kTelemetryFields) {
    const NumberText text = FieldText(record, field);
    LatestLine.push_back(',');
    LatestLine.append(text.chars, text.length);
  }
  LatestLine.append(",\n");
}

}  // namespace

const std::string ProtocolTag = "v1.2";
std::string LatestLine = EmptyLineWithCapacity();

void CALLBACK HandleSimMessage(SIMCONNECT_RECV* pData, DWORD cbData, void* /*pContext*/) {
  if (pData == nullptr || cbData < sizeof(SIMCONNECT_RECV)) return;
  const auto* bytes = reinterpret_cast<const unsigned char*>(pData);
  if (ReadWord(bytes + kMessageIdOffset) != SIMCONNECT_RECV_ID_SIMOBJECT_DATA) return;
  if (cbData < kTelemetryMessageBytes) return;
  if (ReadWord(bytes + kRequestIdOffset) != kTelemetryRequest) return;
  BuildLine(bytes + kRecordOffset);
}

}  // namespace skyhelm
