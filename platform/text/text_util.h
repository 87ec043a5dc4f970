// Two text helpers every layer shares: a bounded text's length and names matched without case.
#pragma once

#include <cctype>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace skyhelm::text {

// The length of the text in bytes[0..size): up to its first zero byte, all `size` bytes when
// there is none. Never reads past bytes + size; `bytes` must not be null.
inline std::size_t LengthToZero(const char* bytes, std::size_t size) {
  const void* zero = std::memchr(bytes, '\0', size);
  return zero == nullptr ? size : static_cast<std::size_t>(static_cast<const char*>(zero) - bytes);
}

// True when a and b are equal but for ASCII case (names of variables, units, events, cfg keys).
inline bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

}  // namespace skyhelm::text
