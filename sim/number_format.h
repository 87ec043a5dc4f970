// Number texts of the telemetry line: FormatInt and FormatReal, without allocation or locale.
//
// Choices for the values the simulator never delivers (the line format leaves them open):
// - Non-finite floats print as "nan" (whatever its sign bit), "inf" and "-inf".
// - Negative zero, and negative values that round to zero, keep their sign: "-0.000000", as the
//   C library's "%.6f" prints them.
// - Every digit is exact: the float widened to double is written with its exact decimal
//   expansion (large magnitudes print all their integer digits, as "%.6f" does in glibc), and an
//   exact tie at the seventh decimal rounds to even, following the exact binary value.
// The texts are therefore identical on every platform and byte-equal to glibc's "%.6f" / "%d" in
// the classic locale for every finite value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace skyhelm {

// The longest number text: "-" + 39 integer digits (FLT_MAX) + "." + 6 decimals = 47 characters.
inline constexpr std::size_t kNumberTextCapacity = 48;

// A number's text in a fixed buffer (not zero-terminated).
struct NumberText {
  char chars[kNumberTextCapacity];
  std::size_t length;

  std::string_view View() const { return std::string_view(chars, length); }
};

// Signed decimal as "%d" prints it: "-" for negatives, no "+", no leading zeros, no padding.
NumberText FormatInt(std::int32_t value);

// The float widened to double, in fixed notation with exactly six decimals: "-" for negatives,
// no "+", no exponent, no grouping, "." as the decimal point, no padding (123.456f ->
// "123.456001", -2.5f -> "-2.500000", 0 -> "0.000000"). Non-finite values: see above.
NumberText FormatReal(float value);

}  // namespace skyhelm
