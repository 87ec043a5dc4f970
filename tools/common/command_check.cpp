// The check runs the bridge's parser itself, so it cannot disagree with the bridge.
#include "tools/common/command_check.h"

#include "udp/command_protocol.h"

namespace skyhelm::tools {

namespace {
constexpr std::size_t kMaxDatagramBytes = 1024;
}

CommandCheck CheckCommand(const char* text, std::size_t size) {
  CommandCheck check;
  if (size > kMaxDatagramBytes) {
    check.problem = "longer than the bridge's 1024-byte datagram";
    return check;
  }
  const CommandList commands = ParseCommands(text, size);
  if (commands.count == 0) {
    check.problem = "applies no command";
    return check;
  }
  check.ok = true;
  for (std::size_t i = 0; i < commands.count; ++i) {
    if (i > 0) check.explanation += ", then ";
    check.explanation += commands.items[i].letter;
  }
  return check;
}

}  // namespace skyhelm::tools
