// Reading a decimal value by atoi rules, bounded by a length.
#pragma once

#include <cstddef>
#include <cstdint>

namespace skyhelm {

// Reads text[0..length) as atoi would: leading white space of the C locale skipped, an optional
// sign, then decimal digits up to the first other byte (or a zero byte, or the end); 0 when there
// are no digits. Values beyond the signed 32-bit range saturate to INT32_MAX / INT32_MIN (atoi
// leaves them undefined). Never reads at or past text + length.
std::int32_t ReadDecimal(const char* text, std::size_t length);

}  // namespace skyhelm
