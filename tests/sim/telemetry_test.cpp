// HandleSimMessage: the line built from delivered records, and the messages that leave it alone.
#include "sim/telemetry.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "sim/telemetry_schema.h"

namespace skyhelm {
namespace {

constexpr std::size_t kRecordStart = 40;

// A message as the client library delivers it, built byte by byte (little-endian), so the test
// does not share the code's view of the structures.
class Message {
 public:
  explicit Message(std::uint32_t id = SIMCONNECT_RECV_ID_SIMOBJECT_DATA,
                   std::uint32_t request = 0) {
    PutWord(0, static_cast<std::uint32_t>(kTelemetryMessageBytes));
    PutWord(8, id);
    PutWord(12, request);
  }
  Message& Int(std::size_t field, std::int32_t value) {
    PutWord(kRecordStart + kTelemetryFields[field].record_offset,
            static_cast<std::uint32_t>(value));
    return *this;
  }
  Message& Real(std::size_t field, float value) {
    std::uint32_t word;
    std::memcpy(&word, &value, sizeof word);
    PutWord(kRecordStart + kTelemetryFields[field].record_offset, word);
    return *this;
  }
  Message& Title(const std::string& title) {
    std::memcpy(bytes_.data() + kRecordStart, title.data(), title.size());
    return *this;
  }
  // Hands `size` bytes of the message to the handler from a heap block of exactly that size, at
  // an odd address, so that AddressSanitizer catches any read past it and any aligned load.
  void Deliver(std::size_t size) const {
    std::vector<unsigned char> block(size + 1);
    std::memcpy(block.data() + 1, bytes_.data(), std::min(size, bytes_.size()));
    HandleSimMessage(reinterpret_cast<SIMCONNECT_RECV*>(block.data() + 1), static_cast<DWORD>(size),
                     nullptr);
  }
  void Deliver() const { Deliver(bytes_.size()); }

 private:
  void PutWord(std::size_t offset, std::uint32_t word) {
    for (int i = 0; i < 4; ++i)
      bytes_[offset + static_cast<std::size_t>(i)] = static_cast<unsigned char>(word >> (8 * i));
  }
  std::vector<unsigned char> bytes_ = std::vector<unsigned char>(kTelemetryMessageBytes, 0);
};

Message WorkedExample() {
  Message m;
  m.Int(0, 120).Int(1, 350).Real(2, 2.5f).Real(3, -10.25f).Real(4, 3.0f).Real(5, -5.0f);
  m.Int(6, 270).Int(7, 1).Int(8, 140).Int(9, 0).Int(10, 1).Int(11, 1).Int(12, 1);
  m.Int(13, 700).Int(14, 1).Int(15, 900).Int(16, 0);
  m.Real(17, 47.25f).Real(18, -122.5f).Int(19, 268).Real(20, 1.0f);
  return m;
}

const char kWorkedExampleLine[] =
    "v1.2,120,350,2.500000,-10.250000,3.000000,-5.000000,270,1,140,0,1,1,1,700,1,900,0,"
    "47.250000,-122.500000,268,1.000000,\n";
const char kAllZeroLine[] =
    "v1.2,0,0,0.000000,0.000000,0.000000,0.000000,0,0,0,0,0,0,0,0,0,0,0,0.000000,0.000000,0,"
    "0.000000,\n";

class Telemetry : public ::testing::Test {
 protected:
  void SetUp() override { LatestLine.clear(); }
};

TEST_F(Telemetry, WorkedExampleGivesItsLineByteForByte) {
  WorkedExample().Deliver();
  EXPECT_EQ(LatestLine, kWorkedExampleLine);
}

TEST_F(Telemetry, AllZeroRecordGivesZerosInEveryField) {
  Message().Deliver();
  EXPECT_EQ(LatestLine, kAllZeroLine);
}

TEST_F(Telemetry, EachFieldLandsInItsOwnPlace) {
  // A distinct value per field catches swapped offsets that the worked example might not.
  Message m;
  std::string expected = "v1.2";
  for (std::size_t i = 0; i < kTelemetryFieldCount; ++i) {
    if (kTelemetryFields[i].kind == FieldKind::kInt32) {
      m.Int(i, -1000 - static_cast<std::int32_t>(i));
      expected += "," + std::to_string(-1000 - static_cast<int>(i));
    } else {
      m.Real(i, 0.5f + static_cast<float>(i));
      expected += "," + std::to_string(0.5 + static_cast<double>(i));
    }
  }
  m.Deliver();
  EXPECT_EQ(LatestLine, expected + ",\n");
}

TEST_F(Telemetry, TitleNeverReachesTheLine) {
  Message m = WorkedExample();
  m.Title(std::string(255, 'x'));
  m.Deliver();
  EXPECT_EQ(LatestLine, kWorkedExampleLine);
  WorkedExample().Title("v1.2,999,").Deliver();
  EXPECT_EQ(LatestLine, kWorkedExampleLine);
}

TEST_F(Telemetry, NewRecordReplacesTheWholeLine) {
  WorkedExample().Deliver();
  Message().Real(20, 0.5f).Deliver();
  EXPECT_EQ(LatestLine.substr(LatestLine.size() - 11), ",0.500000,\n");
  EXPECT_EQ(LatestLine.size(), sizeof kAllZeroLine - 1);
}

struct IgnoredCase {
  const char* name;
  std::uint32_t id;
  std::uint32_t request;
};

class IgnoredMessages : public Telemetry, public ::testing::WithParamInterface<IgnoredCase> {};

TEST_P(IgnoredMessages, LeaveTheLineUnchanged) {
  WorkedExample().Deliver();
  Message(GetParam().id, GetParam().request).Deliver();
  EXPECT_EQ(LatestLine, kWorkedExampleLine);
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, IgnoredMessages,
    ::testing::Values(IgnoredCase{"OtherRequest", SIMCONNECT_RECV_ID_SIMOBJECT_DATA, 1},
                      IgnoredCase{"UnusedRequest", SIMCONNECT_RECV_ID_SIMOBJECT_DATA, 0xFFFFFFFFu},
                      IgnoredCase{"Quit", SIMCONNECT_RECV_ID_QUIT, 0},
                      IgnoredCase{"Open", SIMCONNECT_RECV_ID_OPEN, 0},
                      IgnoredCase{"Exception", SIMCONNECT_RECV_ID_EXCEPTION, 0},
                      IgnoredCase{"DataByType", SIMCONNECT_RECV_ID_SIMOBJECT_DATA_BYTYPE, 0}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(Telemetry, DataMessageShorterThanItsRecordIsIgnored) {
  WorkedExample().Deliver();
  for (std::size_t size = 0; size < kTelemetryMessageBytes; ++size) {
    Message().Deliver(size);
    ASSERT_EQ(LatestLine, kWorkedExampleLine) << "size " << size;
  }
  Message().Deliver(kTelemetryMessageBytes);
  EXPECT_EQ(LatestLine, kAllZeroLine);
}

TEST_F(Telemetry, RebuildingTheLineNeverReallocates) {
  EXPECT_GE(LatestLine.capacity(), 600u);
  WorkedExample().Deliver();
  const char* storage = LatestLine.data();
  Message m;
  for (std::size_t i = 0; i < kTelemetryFieldCount; ++i) {
    if (kTelemetryFields[i].kind == FieldKind::kInt32) {
      m.Int(i, INT32_MIN);
    } else {
      m.Real(i, -3.4e38f);
    }
  }
  m.Deliver();
  EXPECT_EQ(LatestLine.data(), storage);
  EXPECT_EQ(LatestLine.substr(0, 17), "v1.2,-2147483648,");
}

}  // namespace
}  // namespace skyhelm
