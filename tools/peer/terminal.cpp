// termios and ANSI control sequences for the live view.
#include "tools/peer/terminal.h"

#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace skyhelm::peer {
namespace {

constexpr std::string_view kEnterScreen = "\x1b[?1049h\x1b[2J";
constexpr std::string_view kLeaveScreen = "\x1b[?1049l";

}  // namespace

bool RawTerminal::Enter() {
  if (entered_) return true;
  if (tcgetattr(STDIN_FILENO, &saved_) != 0) return false;
  termios raw = saved_;
  raw.c_lflag &= static_cast<tcflag_t>(~(ICANON | ECHO));
  raw.c_cc[VMIN] = 0;
  raw.c_cc[VTIME] = 0;
  if (tcsetattr(STDIN_FILENO, TCSANOW, &raw) != 0) return false;
  std::signal(SIGTSTP, SIG_IGN);
  entered_ = true;
  Write(kEnterScreen);
  return true;
}

void RawTerminal::Restore() {
  if (!entered_) return;
  Write(kLeaveScreen);
  tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  std::signal(SIGTSTP, SIG_DFL);
  entered_ = false;
}

RawTerminal::~RawTerminal() { Restore(); }

void RawTerminal::Write(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(STDOUT_FILENO, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

}  // namespace skyhelm::peer
