// The decoder accepts exactly what the bridge sends and names what is wrong with anything else.
#include "tools/peer/line_decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

namespace skyhelm::peer {
namespace {

// Values of a reference line (a plausible aircraft in a turn) without the tag and the endings.
const std::vector<std::string> kReference = {
    "120", "350", "2.500000", "-10.250000", "3.000000",    "-5.000000", "270",
    "1",   "140", "0",        "1",          "1",           "1",         "700",
    "1",   "900", "0",        "47.250000",  "-122.500000", "268",       "1.000000"};

std::string Datagram(const std::vector<std::string>& values) {
  std::string out = "v1.2";
  for (const std::string& value : values) out += "," + value;
  return out + ",\n\r\n";
}

std::vector<std::string> With(std::size_t field, const std::string& text) {
  std::vector<std::string> values = kReference;
  values[field] = text;
  return values;
}

TEST(LineDecoder, DecodesTheReferenceLine) {
  const DecodedDatagram decoded = DecodeDatagram(Datagram(kReference));
  ASSERT_EQ(decoded.kind, DatagramKind::kLine) << decoded.description;
  for (std::size_t i = 0; i < kTelemetryFieldCount; ++i) {
    EXPECT_EQ(decoded.values.texts[i], kReference[i]) << kTelemetryFields[i].name;
  }
  EXPECT_EQ(decoded.values.numbers[1], 350);
  EXPECT_EQ(decoded.values.numbers[3], -10.25);
  EXPECT_EQ(decoded.values.numbers[18], -122.5);
}

TEST(LineDecoder, BareLineEndIsNoDataNotMalformed) {
  EXPECT_EQ(DecodeDatagram("\r\n").kind, DatagramKind::kNoData);
  EXPECT_EQ(DecodeDatagram("\n").kind, DatagramKind::kMalformed);
  EXPECT_EQ(DecodeDatagram("\r\n\r\n").kind, DatagramKind::kMalformed);
}

struct ValidCase {
  const char* name;
  std::size_t field;
  const char* text;
  double expected;  // NaN: expect NaN
};

class ValidValues : public ::testing::TestWithParam<ValidCase> {};

TEST_P(ValidValues, Accepted) {
  const ValidCase& c = GetParam();
  const DecodedDatagram decoded = DecodeDatagram(Datagram(With(c.field, c.text)));
  ASSERT_EQ(decoded.kind, DatagramKind::kLine) << decoded.description;
  const double value = decoded.values.numbers[c.field];
  if (std::isnan(c.expected)) {
    EXPECT_TRUE(std::isnan(value));
  } else {
    EXPECT_EQ(value, c.expected);
  }
  EXPECT_EQ(decoded.values.texts[c.field], c.text);
}

INSTANTIATE_TEST_SUITE_P(
    LineDecoder, ValidValues,
    ::testing::Values(ValidCase{"zero_int", 0, "0", 0},
                      ValidCase{"int_min", 1, "-2147483648", -2147483648.0},
                      ValidCase{"int_max", 1, "2147483647", 2147483647.0},
                      ValidCase{"zero_real", 2, "0.000000", 0},
                      ValidCase{"negative_zero_real", 2, "-0.000000", 0},
                      ValidCase{"widened_float", 2, "123.456001", 123.456001},
                      ValidCase{"huge_real", 17, "340282346638528859811704183484516925440.000000",
                                3.4028234663852886e38},
                      ValidCase{"nan", 3, "nan", NAN}, ValidCase{"inf", 4, "inf", INFINITY},
                      ValidCase{"minus_inf", 20, "-inf", -INFINITY}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

struct MalformedCase {
  const char* name;
  std::string datagram;
  Problem problem;
  std::size_t field;  // checked only for kBadInt / kBadReal
};

class MalformedDatagrams : public ::testing::TestWithParam<MalformedCase> {};

TEST_P(MalformedDatagrams, RejectedWithReason) {
  const MalformedCase& c = GetParam();
  const DecodedDatagram decoded = DecodeDatagram(c.datagram);
  EXPECT_EQ(decoded.kind, DatagramKind::kMalformed);
  EXPECT_EQ(decoded.problem, c.problem) << decoded.description;
  EXPECT_FALSE(decoded.description.empty());
  if (c.problem == Problem::kBadInt || c.problem == Problem::kBadReal) {
    EXPECT_EQ(decoded.field_index, c.field);
  }
}

std::vector<std::string> Without(std::size_t field) {
  std::vector<std::string> values = kReference;
  values.erase(values.begin() + static_cast<long>(field));
  return values;
}

std::string WithoutSendEnding() {
  std::string line = Datagram(kReference);
  return line.substr(0, line.size() - 2);
}

INSTANTIATE_TEST_SUITE_P(
    LineDecoder, MalformedDatagrams,
    ::testing::Values(
        MalformedCase{"empty", "", Problem::kEmpty, 0},
        MalformedCase{"line_feed_only", "\n", Problem::kTag, 0},
        MalformedCase{"other_version", "v1.3" + Datagram(kReference).substr(4), Problem::kTag, 0},
        MalformedCase{"tag_upper_case", "V1.2" + Datagram(kReference).substr(4), Problem::kTag, 0},
        MalformedCase{"a_command", "h270", Problem::kTag, 0},
        MalformedCase{"no_send_ending", WithoutSendEnding(), Problem::kTerminator, 0},
        MalformedCase{"crlf_without_line_feed",
                      WithoutSendEnding().substr(0, WithoutSendEnding().size() - 1) + "\r\n",
                      Problem::kTerminator, 0},
        MalformedCase{"tag_and_endings_only", "v1.2,\n\r\n", Problem::kTooFewValues, 0},
        MalformedCase{"twenty_values", Datagram(Without(20)), Problem::kTooFewValues, 0},
        MalformedCase{"no_comma_after_last", "v1.2,120,350,2.500000\n\r\n", Problem::kTooFewValues,
                      0},
        MalformedCase{"twenty_two_values", Datagram(With(20, "1.000000,0")),
                      Problem::kTooManyValues, 0},
        MalformedCase{"sent_twice", Datagram(kReference) + Datagram(kReference),
                      Problem::kTooManyValues, 0},
        MalformedCase{"extra_line_end", Datagram(kReference) + "\r\n", Problem::kTooManyValues, 0},
        MalformedCase{"int_plus_sign", Datagram(With(0, "+120")), Problem::kBadInt, 0},
        MalformedCase{"int_leading_zero", Datagram(With(1, "0350")), Problem::kBadInt, 1},
        MalformedCase{"int_minus_zero", Datagram(With(6, "-0")), Problem::kBadInt, 6},
        MalformedCase{"int_minus_only", Datagram(With(6, "-")), Problem::kBadInt, 6},
        MalformedCase{"int_empty", Datagram(With(7, "")), Problem::kBadInt, 7},
        MalformedCase{"int_space", Datagram(With(8, " 140")), Problem::kBadInt, 8},
        MalformedCase{"int_overflow", Datagram(With(13, "2147483648")), Problem::kBadInt, 13},
        MalformedCase{"int_underflow", Datagram(With(13, "-2147483649")), Problem::kBadInt, 13},
        MalformedCase{"int_as_real", Datagram(With(19, "268.000000")), Problem::kBadInt, 19},
        MalformedCase{"int_nan", Datagram(With(15, "nan")), Problem::kBadInt, 15},
        MalformedCase{"int_with_zero_byte", Datagram(With(16, std::string("0\0", 2))),
                      Problem::kBadInt, 16},
        MalformedCase{"real_one_decimal", Datagram(With(2, "2.5")), Problem::kBadReal, 2},
        MalformedCase{"real_seven_decimals", Datagram(With(2, "2.5000000")), Problem::kBadReal, 2},
        MalformedCase{"real_no_point", Datagram(With(3, "-10")), Problem::kBadReal, 3},
        MalformedCase{"real_no_whole_part", Datagram(With(4, ".500000")), Problem::kBadReal, 4},
        MalformedCase{"real_leading_zero", Datagram(With(5, "05.000000")), Problem::kBadReal, 5},
        MalformedCase{"real_exponent", Datagram(With(17, "4.725000e+01")), Problem::kBadReal, 17},
        MalformedCase{"real_plus_sign", Datagram(With(18, "+1.000000")), Problem::kBadReal, 18},
        MalformedCase{"real_capital_nan", Datagram(With(20, "NaN")), Problem::kBadReal, 20},
        MalformedCase{"real_minus_nan", Datagram(With(20, "-nan")), Problem::kBadReal, 20},
        MalformedCase{"real_plus_inf", Datagram(With(20, "+inf")), Problem::kBadReal, 20},
        MalformedCase{"real_comma_decimal", Datagram(With(20, "1;000000")), Problem::kBadReal, 20}),
    [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(LineDecoder, EveryTruncationOfALineIsMalformed) {
  const std::string line = Datagram(kReference);
  for (std::size_t length = 0; length < line.size(); ++length) {
    const DecodedDatagram decoded = DecodeDatagram(std::string_view(line).substr(0, length));
    if (length == 0) continue;
    EXPECT_EQ(decoded.kind, DatagramKind::kMalformed) << "length " << length;
  }
}

TEST(LineDecoder, SingleByteChangesAreMalformedUnlessTheyOnlySignANumber) {
  const std::string line = Datagram(kReference);
  for (std::size_t i = 0; i < line.size(); ++i) {
    for (char replacement : {'\0', 'x', ',', '\n', '.', '-'}) {
      if (line[i] == replacement) continue;
      std::string changed = line;
      changed[i] = replacement;
      // "140" -> "-40" is still a well-formed line; nothing else may be.
      if (DecodeDatagram(changed).kind == DatagramKind::kLine) {
        EXPECT_EQ(replacement, '-') << "byte " << i;
        EXPECT_TRUE(i > 0 && line[i - 1] == ',') << "byte " << i;
      }
    }
  }
}

}  // namespace
}  // namespace skyhelm::peer
