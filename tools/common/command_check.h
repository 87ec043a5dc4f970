// Checking a command text against the bridge's own rules before it is sent.
#pragma once

#include <cstddef>
#include <string>

namespace skyhelm::tools {

struct CommandCheck {
  bool ok = false;
  std::string explanation;  // what the bridge will do with the text, when ok
  std::string problem;      // why the text is refused, when not ok
};

// Never reads beyond `size` bytes of `text`.
CommandCheck CheckCommand(const char* text, std::size_t size);

}  // namespace skyhelm::tools
