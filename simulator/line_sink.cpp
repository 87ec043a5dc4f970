// Non-blocking line output: see line_sink.h for why pipes are reopened rather than switched.
#include "simulator/line_sink.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace skyhelm::simulator {

LineSink::LineSink(int fd) : fd_(fd) {
  struct stat info {};
  if (::fstat(fd, &info) != 0) return;
  if (S_ISSOCK(info.st_mode)) {
    socket_ = true;
  } else if (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode)) {
    // O_NONBLOCK on the descriptor itself would change it for the parent shell and, after 2>&1,
    // for the other stream too: open a description of our own on the same pipe or terminal.
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    const int own = ::open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (own >= 0) {
      fd_ = own;
      owned_ = true;
    }
  }
  buffer_.reserve(kMaxLineBytes + 1);
}

LineSink::~LineSink() {
  if (owned_) ::close(fd_);
}

void LineSink::Write(const std::string& line) {
  buffer_.assign(line, 0, kMaxLineBytes);
  buffer_.push_back('\n');
  ssize_t n;
  do {
    n = socket_ ? ::send(fd_, buffer_.data(), buffer_.size(), MSG_DONTWAIT | MSG_NOSIGNAL)
                : ::write(fd_, buffer_.data(), buffer_.size());
  } while (n < 0 && errno == EINTR);
  if (n != static_cast<ssize_t>(buffer_.size())) ++dropped_;
}

}  // namespace skyhelm::simulator
