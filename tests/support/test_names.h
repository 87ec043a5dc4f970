// Test support: readable names and printouts for parameterised cases, so that a failure (and
// ctest's list) says which case broke instead of dumping the parameter's bytes.
#pragma once

#include <cctype>
#include <cstddef>
#include <string>
#include <vector>

namespace skyhelm::test_support {

// `text` as a test name: letters and digits kept, '-' as "minus", runs of anything else as one
// '_'; at most 40 characters; "empty" for "".
inline std::string TestName(const std::string& text) {
  std::string name;
  for (const char c : text) {
    if (name.size() >= 40) break;
    if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
      name += c;
    } else if (c == '-') {
      name += "minus";
    } else if (!name.empty() && name.back() != '_') {
      name += '_';
    }
  }
  return name.empty() ? "empty" : name;
}

// The words joined by `separator`.
inline std::string Joined(const std::vector<std::string>& words, const char* separator = " ") {
  std::string joined;
  for (std::size_t i = 0; i < words.size(); ++i) joined += (i > 0 ? separator : "") + words[i];
  return joined;
}

}  // namespace skyhelm::test_support
