// Line output for the simulator's loop that never waits on the reader.
#pragma once

#include <cstdint>
#include <string>

namespace skyhelm::simulator {

// Writes whole lines to a descriptor without ever blocking: a line the descriptor cannot take at
// once (a full pipe nobody reads, a terminal held by flow control) is dropped whole and counted,
// as the bridge's debugger output does with standard error. Pipes and terminals are reopened
// through /proc with O_NONBLOCK, so the shared descriptor (and whoever else writes to it) keeps
// blocking; a regular file is written as it is (a file never holds a writer back). Lines are cut
// to kMaxLineBytes so that each write to a pipe is atomic (below PIPE_BUF). Single-threaded.
class LineSink {
 public:
  static constexpr std::size_t kMaxLineBytes = 4000;

  explicit LineSink(int fd);
  ~LineSink();
  LineSink(const LineSink&) = delete;
  LineSink& operator=(const LineSink&) = delete;

  // `line` without its line feed.
  void Write(const std::string& line);
  std::uint64_t dropped() const { return dropped_; }

 private:
  int fd_;
  bool owned_ = false;   // fd_ is our own reopened description
  bool socket_ = false;  // MSG_DONTWAIT per send instead
  std::uint64_t dropped_ = 0;
  std::string buffer_;
};

}  // namespace skyhelm::simulator
