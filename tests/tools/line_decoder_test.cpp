// The telemetry line, seen from the peer: the decoder accepts exactly what the bridge sends and
// names what is wrong with anything else, and every line the bridge builds decodes to the record
// it came from.
#include "tools/peer/line_decoder.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "sim/telemetry.h"

namespace skyhelm::peer {
namespace {

// Values of a reference line (a plausible aircraft in a turn) without the tag and the endings.
const std::vector<std::string> kReference = {
    "120", "350", "2.500000", "-10.250000", "3.000000",    "-5.000000", "270",
    "1",   "140", "0",        "1",          "1",           "1",         "700",
    "1",   "900", "0",        "47.250000",  "-122.500000", "268",       "1.000000"};

// The reference line with one field's text replaced (field -1: none).
std::string With(int field, const std::string& text) {
  std::string out = "v1.2";
  for (std::size_t i = 0; i < kReference.size(); ++i) {
    out += "," + (static_cast<int>(i) == field ? text : kReference[i]);
  }
  return out + ",\n\r\n";
}
const std::string kLine = With(-1, "");

struct Case {
  const char* name;
  std::string datagram;
  Problem problem;    // kNone: the reference line
  std::size_t field;  // kBadInt/kBadReal: the offending field
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }
class Decode : public ::testing::TestWithParam<Case> {};

TEST_P(Decode, AcceptsOrNamesTheProblem) {
  const Case& c = GetParam();
  const DecodedDatagram decoded = DecodeDatagram(c.datagram);
  EXPECT_EQ(decoded.problem, c.problem) << decoded.description;
  EXPECT_EQ(decoded.kind,
            c.problem == Problem::kNone ? DatagramKind::kLine : DatagramKind::kMalformed);
  EXPECT_EQ(decoded.description.empty(), c.problem == Problem::kNone);
  EXPECT_EQ(decoded.field_index, c.field);
  for (std::size_t i = 0; c.problem == Problem::kNone && i < kTelemetryFieldCount; ++i) {
    EXPECT_EQ(decoded.values.texts[i], kReference[i]) << i;
    EXPECT_EQ(decoded.values.numbers[i], std::stod(kReference[i])) << i;
  }
}

constexpr Problem kOk = Problem::kNone;
constexpr Problem kInt = Problem::kBadInt;
constexpr Problem kReal = Problem::kBadReal;
// The extremes of what the bridge sends are DecoderAgreesWithBridge's rows.
// clang-format off
INSTANTIATE_TEST_SUITE_P(LineDecoder, Decode, ::testing::Values(
    Case{"reference", kLine, kOk, 0},
    Case{"empty", "", Problem::kEmpty, 0},
    Case{"other_version", "v1.3" + kLine.substr(4), Problem::kTag, 0},
    Case{"crlf_without_line_feed", kLine.substr(0, kLine.size() - 3) + "\r\n", Problem::kTerminator, 0},
    Case{"twenty_values", kLine.substr(0, kLine.rfind("1.000000")) + "\n\r\n", Problem::kTooFewValues, 0},
    Case{"twenty_two_values", With(20, "1.000000,0"), Problem::kTooManyValues, 0},
    Case{"extra_line_end", kLine + "\r\n", Problem::kTooManyValues, 0},
    Case{"int_plus_sign", With(0, "+120"), kInt, 0},
    Case{"int_leading_zero", With(1, "0350"), kInt, 1},
    Case{"int_minus_zero", With(6, "-0"), kInt, 6},
    Case{"int_overflow", With(13, "2147483648"), kInt, 13},
    Case{"int_underflow", With(13, "-2147483649"), kInt, 13},
    Case{"int_with_zero_byte", With(16, std::string("0\0", 2)), kInt, 16},
    Case{"real_one_decimal", With(2, "2.5"), kReal, 2},
    Case{"real_seven_decimals", With(2, "2.5000000"), kReal, 2},
    Case{"real_no_point", With(3, "-10"), kReal, 3},
    Case{"real_no_whole_part", With(4, ".500000"), kReal, 4},
    Case{"real_leading_zero", With(5, "05.000000"), kReal, 5},
    Case{"real_minus_nan", With(20, "-nan"), kReal, 20}),
    [](const auto& param_info) { return std::string(param_info.param.name); });
// clang-format on

// A bare line end means "no data yet"; every truncation of a line, and every single-byte change
// other than signing a number, is malformed (and decoding never reads past the datagram).
TEST(LineDecoder, NoDataTruncationsAndSingleByteChanges) {
  EXPECT_EQ(DecodeDatagram("\r\n").kind, DatagramKind::kNoData);
  for (std::size_t length = 1; length < kLine.size(); ++length) {
    EXPECT_EQ(DecodeDatagram(std::string(kLine, 0, length)).kind, DatagramKind::kMalformed)
        << "length " << length;
  }
  for (std::size_t i = 0; i < kLine.size(); ++i) {
    for (char replacement : {'\0', 'x', ',', '\n', '.', '-'}) {
      std::string changed = kLine;
      changed[i] = replacement;
      // "140" -> "-40" is still a well-formed line; nothing else may be.
      if (kLine[i] != replacement && DecodeDatagram(changed).kind == DatagramKind::kLine) {
        EXPECT_TRUE(replacement == '-' && i > 0 && kLine[i - 1] == ',') << "byte " << i;
      }
    }
  }
}

// The bridge's line from a delivered record holding `int_value` in every int field and
// `float_value` in every float one.
struct RecordCase {
  const char* name;
  std::int32_t int_value;
  float float_value;
};
void PrintTo(const RecordCase& c, std::ostream* os) { *os << c.name; }
class DecoderAgreesWithBridge : public ::testing::TestWithParam<RecordCase> {};

TEST_P(DecoderAgreesWithBridge, EveryBuiltLineDecodesToTheRecord) {
  const RecordCase& c = GetParam();
  std::vector<unsigned char> message(kTelemetryMessageBytes, 0);
  unsigned char* const record = message.data() + kTelemetryMessageBytes - kTelemetryRecordBytes;
  const std::uint32_t header[] = {static_cast<std::uint32_t>(message.size()), 0,
                                  SIMCONNECT_RECV_ID_SIMOBJECT_DATA, kTelemetryRequest};
  std::memcpy(message.data(), header, sizeof header);
  std::memcpy(record, "Title, with commas,\n", 20);
  for (const TelemetryField& field : kTelemetryFields) {
    std::memcpy(record + field.record_offset,
                field.kind == FieldKind::kInt32 ? static_cast<const void*>(&c.int_value)
                                                : static_cast<const void*>(&c.float_value),
                4);
  }
  HandleSimMessage(reinterpret_cast<SIMCONNECT_RECV*>(message.data()),
                   static_cast<DWORD>(message.size()), nullptr);
  ASSERT_LE(LatestLine.size() + 2, 1024u) << "the datagram limit";
  const DecodedDatagram decoded = DecodeDatagram(LatestLine + "\r\n");
  ASSERT_EQ(decoded.kind, DatagramKind::kLine) << decoded.description << "\n" << LatestLine;
  const double wide = static_cast<double>(c.float_value);
  for (std::size_t i = 0; i < kTelemetryFieldCount; ++i) {
    const double got = decoded.values.numbers[i];
    SCOPED_TRACE(kTelemetryFields[i].name);
    if (kTelemetryFields[i].kind == FieldKind::kInt32) {
      EXPECT_EQ(got, c.int_value);
    } else if (!std::isfinite(wide)) {
      EXPECT_TRUE(std::isnan(wide) ? std::isnan(got) : got == wide) << got;
    } else {
      EXPECT_NEAR(got, wide, 5e-7 + std::fabs(wide) * 1e-15);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Peer, DecoderAgreesWithBridge,
    ::testing::Values(RecordCase{"zeros", 0, 0.0f},
                      RecordCase{"int_min_float_max", INT_MIN, FLT_MAX},
                      RecordCase{"int_max_lowest_float", INT_MAX, -FLT_MAX},
                      RecordCase{"negative_zero", 0, -0.0f},
                      RecordCase{"nan", 2, std::numeric_limits<float>::quiet_NaN()},
                      RecordCase{"infinity", 4, std::numeric_limits<float>::infinity()}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace skyhelm::peer
