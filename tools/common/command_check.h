// What a command datagram will do at the bridge, told before it is sent, and whether it looks
// like a mistake (a word, letters the bridge ignores, a value it drops, an oversized datagram).
#pragma once

#include <cstddef>
#include <string>

namespace skyhelm::tools {

struct CommandCheck {
  bool ok = false;          // the text does what it says and nothing looks like a mistake
  std::string explanation;  // e.g. "heading bug 270", "heading bug 0, then heading hold"
  std::string problem;      // why it is refused (empty when ok)
};

// Decodes `text` (size bytes, a whole datagram) with the bridge's own parser. The explanation
// lists the commands it gives, in order ("nothing" when none); the problem says what the bridge
// would ignore or refuse.
CommandCheck CheckCommand(const char* text, std::size_t size);

}  // namespace skyhelm::tools
