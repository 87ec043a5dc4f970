// `skyhelm-peer watch` on a pseudo-terminal: the live view, typed commands, and a terminal left
// as it was found whichever way the view ends.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "tests/support/child_process.h"
#include "tests/tools/fake_bridge.h"

namespace skyhelm::peer::testing {
namespace {

using std::chrono::milliseconds;
using Clock = std::chrono::steady_clock;

constexpr milliseconds kGenerous(15000);

// skyhelm-peer watch as the session leader of a new pseudo-terminal.
class PtyWatch {
 public:
  explicit PtyWatch(const std::string& bridge_address) {
    const std::string program = skyhelm::testing::BinPath("skyhelm-peer");
    winsize size{40, 120, 0, 0};
    pid_ = forkpty(&master_, nullptr, nullptr, &size);
    if (pid_ == 0) {
      execl(program.c_str(), program.c_str(), "watch", "--to", bridge_address.c_str(), "--timeout",
            "10", static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~PtyWatch() {
    if (pid_ > 0 && !status_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (master_ >= 0) close(master_);
  }

  bool started() const { return pid_ > 0; }
  void Type(const std::string& keys) {
    ASSERT_EQ(write(master_, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
  }
  // Reads the screen output until it contains `text` (true) or the time runs out.
  bool WaitForScreen(const std::string& text) {
    const Clock::time_point deadline = Clock::now() + kGenerous;
    while (screen_.find(text) == std::string::npos) {
      if (Clock::now() >= deadline || !ReadSome()) return false;
    }
    return true;
  }
  // Exit status once the child has ended, draining the screen meanwhile; -1 on timeout.
  int WaitForExit() {
    const Clock::time_point deadline = Clock::now() + kGenerous;
    while (Clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        while (ReadSome()) {
        }
        status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return *status_;
      }
      ReadSome();
    }
    return -1;
  }
  termios Mode() const {
    termios mode{};
    tcgetattr(master_, &mode);
    return mode;
  }
  const std::string& screen() const { return screen_; }

 private:
  bool ReadSome() {
    pollfd ready{master_, POLLIN, 0};
    if (poll(&ready, 1, 50) <= 0) return true;
    char buffer[4096];
    const ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) return false;  // the child is gone (EIO on Linux)
    screen_.append(buffer, static_cast<std::size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int master_ = -1;
  std::optional<int> status_;
  std::string screen_;
};

struct QuitCase {
  const char* name;
  std::string keys;
};

class WatchOnATerminal : public ::testing::TestWithParam<QuitCase> {};

TEST_P(WatchOnATerminal, SendsTypedCommandsAndRestoresTheTerminal) {
  FakeBridge bridge({TelemetryDatagram(350)}, true);
  PtyWatch watch(bridge.address());
  ASSERT_TRUE(watch.started());
  const termios before = watch.Mode();
  ASSERT_TRUE(watch.WaitForScreen("newest distinct line")) << watch.screen();
  EXPECT_EQ(watch.Mode().c_lflag & ECHO, 0u) << "raw mode while the view runs";

  watch.Type("h270\r");
  ASSERT_TRUE(watch.WaitForScreen("sent h270")) << watch.screen();
  const std::vector<std::string> received = bridge.Received();
  EXPECT_EQ(std::count(received.begin(), received.end(), "h270"), 1);

  watch.Type(GetParam().keys);
  EXPECT_EQ(watch.WaitForExit(), 0);
  EXPECT_NE(watch.screen().find("\x1b[?1049l"), std::string::npos) << "left the view's screen";
  const termios after = watch.Mode();
  EXPECT_EQ(after.c_lflag & (ICANON | ECHO), before.c_lflag & (ICANON | ECHO));
}

INSTANTIATE_TEST_SUITE_P(Peer, WatchOnATerminal,
                         ::testing::Values(QuitCase{"q", "q"}, QuitCase{"ctrl_c", "\x03"}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace skyhelm::peer::testing
