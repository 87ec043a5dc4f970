// HandleSimMessage: the line built from delivered records, and the messages that leave it alone.
#include "sim/telemetry.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "sim/telemetry_schema.h"

namespace skyhelm {
namespace {

constexpr std::size_t kRecordStart = 40;

// The record of data definition 0, written out here rather than taken from the code: the 256-byte
// title, then the 21 line fields as packed 4-byte values in line order, each an integer (I) or a
// float (F).
constexpr std::size_t kFirstFieldOffset = 256;
constexpr char kFieldKinds[] = "IIFFFFIIIIIIIIIIIFFIF";
static_assert(sizeof kFieldKinds - 1 == kTelemetryFieldCount);
bool IsReal(std::size_t field) { return kFieldKinds[field] == 'F'; }

// A message as the client library delivers it, built byte by byte (little-endian), so that the
// test does not share the code's view of the structures.
class Message {
 public:
  explicit Message(std::uint32_t id = SIMCONNECT_RECV_ID_SIMOBJECT_DATA,
                   std::uint32_t request = 0) {
    Put(0, static_cast<std::uint32_t>(kTelemetryMessageBytes));
    Put(8, id);
    Put(12, request);
  }
  // Sets line field `i` from `value`, as an integer or a float by the field's kind.
  Message& Field(std::size_t i, double value) {
    std::uint32_t word = 0;
    if (IsReal(i)) {
      const auto real = static_cast<float>(value);
      std::memcpy(&word, &real, sizeof word);
    } else {
      word = static_cast<std::uint32_t>(static_cast<std::int32_t>(value));
    }
    Put(kRecordStart + kFirstFieldOffset + 4 * i, word);
    return *this;
  }
  Message& Title(const std::string& title) {
    std::memcpy(bytes_.data() + kRecordStart, title.data(), title.size());
    return *this;
  }
  // Hands `size` bytes of the message to the handler from a heap block of exactly that size, at
  // an odd address, so that AddressSanitizer catches any read past it and any aligned load.
  void Deliver(std::size_t size = kTelemetryMessageBytes) const {
    std::vector<unsigned char> block(size + 1);
    std::memcpy(block.data() + 1, bytes_.data(), std::min(size, bytes_.size()));
    HandleSimMessage(reinterpret_cast<SIMCONNECT_RECV*>(block.data() + 1), static_cast<DWORD>(size),
                     nullptr);
  }

 private:
  void Put(std::size_t offset, std::uint32_t word) {
    for (std::size_t i = 0; i < 4; ++i)
      bytes_[offset + i] = static_cast<unsigned char>(word >> (8 * i));
  }
  std::vector<unsigned char> bytes_ = std::vector<unsigned char>(kTelemetryMessageBytes, 0);
};

Message WorkedExample() {
  const double values[kTelemetryFieldCount] = {
      120, 350, 2.5, -10.25, 3, -5, 270, 1, 140, 0, 1, 1, 1, 700, 1, 900, 0, 47.25, -122.5, 268, 1};
  Message m;
  for (std::size_t i = 0; i < kTelemetryFieldCount; ++i) m.Field(i, values[i]);
  return m;
}

const char kWorkedExampleLine[] =
    "v1.2,120,350,2.500000,-10.250000,3.000000,-5.000000,270,1,140,0,1,1,1,700,1,900,0,"
    "47.250000,-122.500000,268,1.000000,\n";
const char kAllZeroLine[] =
    "v1.2,0,0,0.000000,0.000000,0.000000,0.000000,0,0,0,0,0,0,0,0,0,0,0,0.000000,0.000000,0,"
    "0.000000,\n";

class Telemetry : public ::testing::Test {
  void SetUp() override { LatestLine.clear(); }
};

// Only a whole record of the telemetry request changes the line: not its title, another request's
// data, another message, or a shorter message.
TEST_F(Telemetry, OnlyWholeTelemetryRecordsGiveTheirLinesByteForByte) {
  const Message others[] = {
      WorkedExample().Title(std::string(255, 'x')),
      Message(SIMCONNECT_RECV_ID_SIMOBJECT_DATA, 1),
      Message(SIMCONNECT_RECV_ID_QUIT),
      Message(SIMCONNECT_RECV_ID_SIMOBJECT_DATA_BYTYPE),
  };
  WorkedExample().Deliver();
  EXPECT_EQ(LatestLine, kWorkedExampleLine);
  for (std::size_t i = 0; i < std::size(others); ++i) {
    others[i].Deliver();
    EXPECT_EQ(LatestLine, kWorkedExampleLine) << "case " << i;
  }
  for (std::size_t size = 0; size < kTelemetryMessageBytes; ++size) {
    Message().Deliver(size);
    ASSERT_EQ(LatestLine, kWorkedExampleLine) << "size " << size;
  }
  Message().Deliver(kTelemetryMessageBytes);
  EXPECT_EQ(LatestLine, kAllZeroLine);
}

// A distinct value per field catches swapped offsets that the worked example might not; the
// extremes make the longest line, which must fit the storage the line already has.
TEST_F(Telemetry, EachFieldLandsInItsPlaceAndTheLongestLineNeverReallocates) {
  WorkedExample().Deliver();
  const char* storage = LatestLine.data();
  Message m;
  std::string expected = "v1.2";
  for (std::size_t i = 0; i < kTelemetryFieldCount; ++i) {
    const bool real = IsReal(i);
    const double n = static_cast<double>(i);
    const double value = real ? static_cast<float>(-3.4e38 + n * 1e37) : INT32_MIN + n;
    m.Field(i, value);
    expected += "," + (real ? std::to_string(value) : std::to_string(static_cast<int>(value)));
  }
  m.Deliver();
  EXPECT_EQ(LatestLine, expected + ",\n");
  EXPECT_EQ(LatestLine.data(), storage);
}

}  // namespace
}  // namespace skyhelm
