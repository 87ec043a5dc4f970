// The POSIX debugger output: standard error that never waits, whole texts or none.
#include "platform/debug_output/debug_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace skyhelm {
namespace {

// What came through the pipe since the last call.
std::string Drain(int fd) {
  std::string bytes;
  char buffer[4096];
  for (ssize_t n; (n = read(fd, buffer, sizeof buffer)) > 0;) {
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

// Standard error becomes a blocking pipe (as a shell or supervisor hands it over) with 18 bytes
// free; a blocking write would hang here (and the test time out) on the second text.
TEST(DebugOutput, FullPipeDropsWholeTextsWithoutWaitingAndCountsThem) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const int capacity = fcntl(pipe_fds[1], F_GETPIPE_SZ);
  ASSERT_GT(capacity, 18);
  const std::string fill(static_cast<std::size_t>(capacity) - 18, '#');
  ASSERT_EQ(write(pipe_fds[1], fill.data(), fill.size()), static_cast<ssize_t>(fill.size()));
  fcntl(pipe_fds[0], F_SETFL, O_NONBLOCK);
  const int saved_stderr = dup(STDERR_FILENO);
  dup2(pipe_fds[1], STDERR_FILENO);
  WriteDebugOutput("Heading Set\n");  // 12 bytes: fits
  for (int i = 0; i < 1000; ++i) WriteDebugOutput("Heading Set\n");
  const char value[] = {'4', '5', '\x1b', '[', '2', 'J'};
  WriteDebugOutputEntry(value, sizeof value);  // 7 bytes, 6 left: dropped whole
  const std::uint64_t dropped = DroppedDebugOutputTexts();
  const std::string first = Drain(pipe_fds[0]);
  // Room again: a value text gets its line feed, and a peer's control bytes cannot reach the
  // terminal.
  WriteDebugOutputEntry(value, sizeof value);
  WriteDebugOutputEntry("", 0);
  const std::string second = Drain(pipe_fds[0]);
  dup2(saved_stderr, STDERR_FILENO);
  for (const int fd : {pipe_fds[0], pipe_fds[1], saved_stderr}) close(fd);
  EXPECT_EQ(dropped, 1001u);
  EXPECT_EQ(first, fill + "Heading Set\n");
  EXPECT_EQ(second, "45.[2J\n");
  EXPECT_EQ(DroppedDebugOutputTexts(), 1001u);
}

}  // namespace
}  // namespace skyhelm
