// FormatReal: the exact texts, and byte equality with "%.6f". (FormatInt: the telemetry tests.)
#include "sim/number_format.h"

#include <gtest/gtest.h>

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

// Finite values are held to printf below; these are the texts printf does not settle.
TEST(FormatReal, PrintsNanWithoutSignAndSignedInf) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(FormatReal(inf).View(), "inf");
  EXPECT_EQ(FormatReal(-inf).View(), "-inf");
  for (const float value : {nan, -nan, FloatFromBits(0x7FA00001u)})  // the last one signalling
    EXPECT_EQ(FormatReal(value).View(), "nan");
}

// What "%.6f" prints for the widened float; this program never leaves the classic locale.
TEST(FormatReal, MatchesPrintfForEveryKindOfFiniteFloat) {
  std::vector<float> values;
  for (const std::uint32_t bits :
       {0x00000000u, 0x80000000u, 0x00000001u, 0x80000001u, 0x007FFFFFu, 0x00800000u, 0x7F7FFFFFu,
        0xFF7FFFFFu, 0x3F800000u, 0x3EFFFFFFu, 0x358637BDu, 0x358637BEu})
    values.push_back(FloatFromBits(bits));
  std::mt19937 random(20240611u);
  for (int i = 0; i < 200000; ++i)
    values.push_back(FloatFromBits(static_cast<std::uint32_t>(random())));
  // Also the range the simulator delivers, where the rounding at the sixth decimal matters most.
  std::uniform_real_distribution<float> flight_values(-400.0f, 400.0f);
  for (int i = 0; i < 100000; ++i) values.push_back(flight_values(random));
  int mismatches = 0;
  for (const float value : values) {
    if (!std::isfinite(value)) continue;
    char expected[128];
    std::snprintf(expected, sizeof expected, "%.6f", static_cast<double>(value));
    if (FormatReal(value).View() != expected && ++mismatches <= 5) {
      ADD_FAILURE() << std::hexfloat << value << ": " << FormatReal(value).View()
                    << " != " << expected;
    }
  }
  EXPECT_EQ(mismatches, 0);
}

}  // namespace
}  // namespace skyhelm
