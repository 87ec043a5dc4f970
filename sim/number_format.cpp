// Locale-independent number texts for the telemetry line.
#include "sim/number_format.h"

#include <charconv>
#include <cmath>
#include <cstring>

namespace skyhelm {
namespace {

NumberText Literal(const char* text) {
  NumberText out{};
  out.length = std::strlen(text);
  std::memcpy(out.chars, text, out.length);
  return out;
}

}  // namespace

NumberText FormatInt(std::int32_t value) {
  NumberText out{};
  const std::to_chars_result result =
      std::to_chars(out.chars, out.chars + kNumberTextCapacity, value);
  out.length = static_cast<std::size_t>(result.ptr - out.chars);
  return out;
}

NumberText FormatReal(float value) {
  // to_chars prints the sign of a NaN ("-nan"); the line shows one text for every NaN.
  if (std::isnan(value)) return Literal("nan");
  if (std::isinf(value)) return Literal(value < 0 ? "-inf" : "inf");
  NumberText out{};
  // Exact for a double: the same digits as a correctly rounding "%.6f", independent of locale.
  const std::to_chars_result result =
      std::to_chars(out.chars, out.chars + kNumberTextCapacity, static_cast<double>(value),
                    std::chars_format::fixed, 6);
  out.length = static_cast<std::size_t>(result.ptr - out.chars);
  return out;
}

}  // namespace skyhelm
