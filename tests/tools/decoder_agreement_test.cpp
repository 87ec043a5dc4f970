// The peer's decoder and the bridge's line builder agree: every line the bridge can build from a
// delivered record, extremes and non-finite values included, decodes to the record's values.
#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "sim/telemetry.h"
#include "sim/telemetry_schema.h"
#include "tools/peer/line_decoder.h"

namespace skyhelm::peer {
namespace {

constexpr std::size_t kDataOffset = 40;  // the record starts at dwData

// One value for every field: ints for kInt32 fields, floats for kFloat32 ones.
struct RecordCase {
  const char* name;
  std::int32_t int_value;
  float float_value;
};

void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.name; }

std::vector<unsigned char> DataMessage(const RecordCase& c) {
  std::vector<unsigned char> message(kDataOffset + kTelemetryRecordBytes, 0);
  const auto put = [&message](std::size_t offset, const void* value) {
    std::memcpy(message.data() + offset, value, 4);
  };
  const std::uint32_t words[] = {static_cast<std::uint32_t>(message.size()), 0,
                                 SIMCONNECT_RECV_ID_SIMOBJECT_DATA, kTelemetryRequest};
  for (std::size_t i = 0; i < 4; ++i) put(4 * i, &words[i]);
  std::memcpy(message.data() + kDataOffset, "Title, with commas,\n", 20);
  for (const TelemetryField& field : kTelemetryFields) {
    if (field.kind == FieldKind::kInt32) {
      put(kDataOffset + field.record_offset, &c.int_value);
    } else {
      put(kDataOffset + field.record_offset, &c.float_value);
    }
  }
  return message;
}

class DecoderAgreesWithBridge : public ::testing::TestWithParam<RecordCase> {};

TEST_P(DecoderAgreesWithBridge, EveryBuiltLineDecodesToTheRecord) {
  const RecordCase& c = GetParam();
  std::vector<unsigned char> message = DataMessage(c);
  HandleSimMessage(reinterpret_cast<SIMCONNECT_RECV*>(message.data()),
                   static_cast<DWORD>(message.size()), nullptr);
  const std::string datagram = LatestLine + "\r\n";
  ASSERT_LE(datagram.size(), 1024u);
  const DecodedDatagram decoded = DecodeDatagram(datagram);
  ASSERT_EQ(decoded.kind, DatagramKind::kLine) << decoded.description << "\n" << datagram;
  const double wide = static_cast<double>(c.float_value);
  for (std::size_t i = 0; i < kTelemetryFieldCount; ++i) {
    const double got = decoded.values.numbers[i];
    if (kTelemetryFields[i].kind == FieldKind::kInt32) {
      EXPECT_EQ(got, c.int_value) << kTelemetryFields[i].name;
    } else if (std::isnan(wide)) {
      EXPECT_TRUE(std::isnan(got)) << kTelemetryFields[i].name;
    } else if (std::isinf(wide)) {
      EXPECT_EQ(got, wide) << kTelemetryFields[i].name;
    } else {
      EXPECT_NEAR(got, wide, 5e-7 + std::fabs(wide) * 1e-15) << kTelemetryFields[i].name;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Peer, DecoderAgreesWithBridge,
    ::testing::Values(RecordCase{"zeros", 0, 0.0f}, RecordCase{"reference", 270, 47.25f},
                      RecordCase{"negative", -500, -122.5f}, RecordCase{"widened", 1, 123.456f},
                      RecordCase{"int_min_float_max", INT_MIN, FLT_MAX},
                      RecordCase{"int_max_lowest_float", INT_MAX, -FLT_MAX},
                      RecordCase{"denormal", 7, std::numeric_limits<float>::denorm_min()},
                      RecordCase{"negative_zero", 0, -0.0f},
                      RecordCase{"rounds_to_negative_zero", -1, -1e-7f},
                      RecordCase{"nan", 2, std::numeric_limits<float>::quiet_NaN()},
                      RecordCase{"negative_nan", 3, -std::numeric_limits<float>::quiet_NaN()},
                      RecordCase{"infinity", 4, std::numeric_limits<float>::infinity()},
                      RecordCase{"minus_infinity", 5, -std::numeric_limits<float>::infinity()}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace skyhelm::peer
