// atoi-rule decimal reading with saturation.
#include "udp/decimal_value.h"

#include <limits>

namespace skyhelm {
namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

}  // namespace

std::int32_t ReadDecimal(const char* text, std::size_t length) {
  constexpr std::int64_t kMax = std::numeric_limits<std::int32_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int32_t>::min();
  const char* const end = text + length;
  while (text != end && IsSpace(*text)) ++text;
  bool negative = false;
  if (text != end && (*text == '+' || *text == '-')) negative = *text++ == '-';
  std::int64_t magnitude = 0;
  for (; text != end && *text >= '0' && *text <= '9'; ++text) {
    // Past the range the value is already decided; stop growing so nothing overflows.
    if (magnitude <= kMax) magnitude = magnitude * 10 + (*text - '0');
  }
  const std::int64_t value = negative ? -magnitude : magnitude;
  if (value > kMax) return static_cast<std::int32_t>(kMax);
  if (value < kMin) return static_cast<std::int32_t>(kMin);
  return static_cast<std::int32_t>(value);
}

}  // namespace skyhelm
