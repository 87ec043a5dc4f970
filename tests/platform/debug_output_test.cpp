// The POSIX debugger output: standard error that never waits, whole texts or none.
#include "platform/debug_output/debug_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace skyhelm {
namespace {

// Standard error becomes a pipe (blocking, as a shell or supervisor hands it over) that holds
// `room` free bytes. Must run before the first debugger text of the process.
class DebugOutputTest : public ::testing::Test {
 protected:
  void StderrOnPipeWithRoom(std::size_t room) {
    ASSERT_EQ(pipe(pipe_), 0);
    const int capacity = fcntl(pipe_[1], F_GETPIPE_SZ);
    ASSERT_GT(capacity, 0);
    const std::string fill(static_cast<std::size_t>(capacity) - room, '#');
    ASSERT_EQ(write(pipe_[1], fill.data(), fill.size()), static_cast<ssize_t>(fill.size()));
    saved_stderr_ = dup(STDERR_FILENO);
    dup2(pipe_[1], STDERR_FILENO);
  }
  // What came through after the fill.
  std::string Drain() {
    std::string bytes;
    fcntl(pipe_[0], F_SETFL, O_NONBLOCK);
    char buffer[4096];
    for (ssize_t n; (n = read(pipe_[0], buffer, sizeof buffer)) > 0;)
      bytes.append(buffer, static_cast<std::size_t>(n));
    return bytes.substr(bytes.find_first_not_of('#') == std::string::npos
                            ? bytes.size()
                            : bytes.find_first_not_of('#'));
  }
  ~DebugOutputTest() override {
    if (saved_stderr_ >= 0) dup2(saved_stderr_, STDERR_FILENO);
    for (int fd : {pipe_[0], pipe_[1], saved_stderr_})
      if (fd >= 0) close(fd);
  }

  int pipe_[2] = {-1, -1};
  int saved_stderr_ = -1;
};

// A blocking write would hang here (and the test time out) on the second text.
TEST_F(DebugOutputTest, FullPipeDropsWholeTextsWithoutWaitingAndCountsThem) {
  ASSERT_NO_FATAL_FAILURE(StderrOnPipeWithRoom(18));
  WriteDebugOutput("Heading Set\n");  // 12 bytes: fits
  for (int i = 0; i < 1000; ++i) WriteDebugOutput("Heading Set\n");
  const char value[] = {'4', '5', '\x1b', '[', '2', 'J'};
  WriteDebugOutputEntry(value, sizeof value);  // 7 bytes, 6 left: dropped whole
  EXPECT_EQ(DroppedDebugOutputTexts(), 1001u);
  EXPECT_EQ(Drain(), "Heading Set\n");
  // Room again: a value text gets its line feed, and a peer's control bytes cannot reach the
  // terminal.
  WriteDebugOutputEntry(value, sizeof value);
  WriteDebugOutputEntry("", 0);
  EXPECT_EQ(Drain(), "45.[2J\n");
  EXPECT_EQ(DroppedDebugOutputTexts(), 1001u);
}

}  // namespace
}  // namespace skyhelm
