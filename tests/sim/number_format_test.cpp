// FormatInt and FormatReal: the exact texts, and byte equality with the C library's conversions.
#include "sim/number_format.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace skyhelm {
namespace {

float FloatFromBits(std::uint32_t bits) {
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// What "%.6f" prints for the widened float; this program never leaves the classic locale.
std::string PrintfReal(float value) {
  char text[128];
  const int n = std::snprintf(text, sizeof text, "%.6f", static_cast<double>(value));
  return std::string(text, static_cast<std::size_t>(n));
}

struct RealCase {
  float value;
  const char* text;
};

class FormatRealTexts : public ::testing::TestWithParam<RealCase> {};

TEST_P(FormatRealTexts, PrintsSixDecimalsOfTheWidenedFloat) {
  EXPECT_EQ(FormatReal(GetParam().value).View(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Values, FormatRealTexts,
    ::testing::Values(RealCase{0.0f, "0.000000"}, RealCase{-0.0f, "-0.000000"},
                      RealCase{-1e-9f, "-0.000000"}, RealCase{123.456f, "123.456001"},
                      RealCase{-2.5f, "-2.500000"}, RealCase{0.5f, "0.500000"},
                      RealCase{-10.25f, "-10.250000"}, RealCase{47.25f, "47.250000"},
                      RealCase{0.0078125f, "0.007812"},  // exact tie: to even
                      RealCase{0.0234375f, "0.023438"},  // exact tie: to even
                      RealCase{4.76837158203125e-7f, "0.000000"},
                      RealCase{FLT_MAX, "340282346638528859811704183484516925440.000000"},
                      RealCase{-FLT_MAX, "-340282346638528859811704183484516925440.000000"},
                      RealCase{std::numeric_limits<float>::quiet_NaN(), "nan"},
                      RealCase{-std::numeric_limits<float>::quiet_NaN(), "nan"},
                      RealCase{FloatFromBits(0x7FA00001u), "nan"},  // signalling NaN
                      RealCase{std::numeric_limits<float>::infinity(), "inf"},
                      RealCase{-std::numeric_limits<float>::infinity(), "-inf"}));

TEST(FormatReal, MatchesPrintfForEveryKindOfFiniteFloat) {
  std::vector<std::uint32_t> patterns = {
      0x00000000u, 0x80000000u, 0x00000001u, 0x80000001u, 0x007FFFFFu, 0x00800000u,
      0x7F7FFFFFu, 0xFF7FFFFFu, 0x3F800000u, 0x3EFFFFFFu, 0x358637BDu, 0x358637BEu,
  };
  std::mt19937 random(20240611u);
  for (int i = 0; i < 200000; ++i) patterns.push_back(static_cast<std::uint32_t>(random()));
  // Also the range the simulator delivers, where the rounding at the sixth decimal matters most.
  std::uniform_real_distribution<float> flight_values(-400.0f, 400.0f);
  for (int i = 0; i < 100000; ++i) {
    const float value = flight_values(random);
    std::uint32_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    patterns.push_back(bits);
  }
  int mismatches = 0;
  for (const std::uint32_t bits : patterns) {
    const float value = FloatFromBits(bits);
    if (!std::isfinite(value)) continue;
    const std::string expected = PrintfReal(value);
    if (FormatReal(value).View() != expected && ++mismatches <= 5) {
      ADD_FAILURE() << std::hex << "bits 0x" << bits << ": " << FormatReal(value).View()
                    << " != " << expected;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

TEST(FormatInt, MatchesPrintfAcrossTheRange) {
  const std::int32_t values[] = {0, 1, -1, 9, 10, -10, 270, -500, 47001, INT32_MAX, INT32_MIN};
  for (const std::int32_t value : values) {
    char expected[16];
    std::snprintf(expected, sizeof expected, "%d", static_cast<int>(value));
    EXPECT_EQ(FormatInt(value).View(), expected);
  }
}

}  // namespace
}  // namespace skyhelm
