// The POSIX debugger output: standard error that never waits, whole texts or none.
#include "platform/debug_output/debug_output.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>

namespace skyhelm {
namespace {

// Standard error becomes a blocking pipe (as a shell or supervisor hands it over) with 18 bytes
// free; a blocking write would hang here (and the test time out) on the second text. Once there is
// room again, a value text gets its line feed and a peer's control bytes cannot reach the terminal.
TEST(DebugOutput, FullPipeDropsWholeTextsWithoutWaitingAndCountsThem) {
  int pipe_fds[2];
  ASSERT_EQ(pipe(pipe_fds), 0);
  const auto capacity = static_cast<std::size_t>(fcntl(pipe_fds[1], F_GETPIPE_SZ));
  const std::string fill(capacity - 18, '#');
  ASSERT_EQ(write(pipe_fds[1], fill.data(), fill.size()), static_cast<ssize_t>(fill.size()));
  fcntl(pipe_fds[0], F_SETFL, O_NONBLOCK);
  const auto drain = [&] {  // a pipe's read takes all that is in it
    std::string bytes(capacity, '\0');
    bytes.resize(
        static_cast<std::size_t>(std::max<ssize_t>(read(pipe_fds[0], &bytes[0], capacity), 0)));
    return bytes;
  };
  const int saved_stderr = dup(STDERR_FILENO);
  dup2(pipe_fds[1], STDERR_FILENO);
  for (int i = 0; i < 1001; ++i) WriteDebugOutput("Heading Set\n");  // 12 bytes: the first fits
  const char value[] = {'4', '5', '\x1b', '[', '2', 'J'};
  WriteDebugOutputEntry(value, sizeof value);  // 7 bytes, 6 left: dropped whole
  const std::uint64_t dropped = DroppedDebugOutputTexts();
  const std::string first = drain();
  WriteDebugOutputEntry(value, sizeof value);
  WriteDebugOutputEntry("", 0);
  const std::string second = drain();
  dup2(saved_stderr, STDERR_FILENO);
  for (const int fd : {pipe_fds[0], pipe_fds[1], saved_stderr}) close(fd);
  EXPECT_EQ(first, fill + "Heading Set\n");
  EXPECT_EQ(second, "45.[2J\n");
  EXPECT_EQ(std::make_pair(dropped, DroppedDebugOutputTexts()),
            std::make_pair(std::uint64_t{1001}, std::uint64_t{1001}));
}

}  // namespace
}  // namespace skyhelm
