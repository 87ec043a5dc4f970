// Debugger output: OutputDebugStringA on Windows, standard error elsewhere, never waiting.
#include "platform/debug_output/debug_output.h"

#include <atomic>
#include <cstring>

#include "platform/text/text_util.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace skyhelm {
namespace {

#if !defined(_WIN32)

std::atomic<std::uint64_t> DroppedTexts{0};

// Standard error as the loop may write to it: a descriptor on which a write never waits.
//
// O_NONBLOCK cannot be set on descriptor 2 itself: its open file description is shared with the
// parent shell, a supervisor or, after 2>&1, with standard output, which would then fail its
// writes instead of waiting. A pipe, FIFO or terminal is opened again through /proc with
// O_NONBLOCK instead: a description of our own on the same pipe or terminal. A socket takes
// MSG_DONTWAIT per send. A regular file keeps descriptor 2 and its shared offset (a file never
// holds a writer back, and reopening it would write at another offset).
struct StderrSink {
  int fd = STDERR_FILENO;
  bool socket = false;
  bool poll_first = false;  // the reopen failed: look before writing (best effort)
};

StderrSink OpenStderrSink() {
  StderrSink sink;
  struct stat info {};
  if (fstat(STDERR_FILENO, &info) != 0) return sink;
  if (S_ISSOCK(info.st_mode)) {
    sink.socket = true;
  } else if (S_ISFIFO(info.st_mode) || S_ISCHR(info.st_mode)) {
    const int fd = open("/proc/self/fd/2", O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd >= 0) {
      sink.fd = fd;
    } else {
      sink.poll_first = true;
    }
  }
  return sink;
}

// Texts are at most 1025 bytes, below PIPE_BUF: a non-blocking write to a pipe takes all or none.
bool WriteNow(const char* text, std::size_t length) {
  static const StderrSink sink = OpenStderrSink();
  if (sink.poll_first) {
    pollfd entry{sink.fd, POLLOUT, 0};
    if (poll(&entry, 1, 0) != 1 || (entry.revents & POLLOUT) == 0) return false;
  }
  ssize_t n;
  do {
    n = sink.socket ? send(sink.fd, text, length, MSG_DONTWAIT | MSG_NOSIGNAL)
                    : write(sink.fd, text, length);
  } while (n < 0 && errno == EINTR);
  return n == static_cast<ssize_t>(length);
}

void Emit(const char* text, std::size_t length) {
  if (length > 0 && !WriteNow(text, length)) DroppedTexts.fetch_add(1);
}

#endif

}  // namespace

void WriteDebugOutput(const char* text) { WriteDebugOutput(text, std::strlen(text)); }

void WriteDebugOutput(const char* text, std::size_t length) {
  length = text::LengthToZero(text, length);
  if (length == 0) return;
#if defined(_WIN32)
  // OutputDebugStringA wants a terminated string; copy through a small bounded buffer.
  char chunk[1025];
  while (length > 0) {
    const std::size_t n = length < sizeof chunk - 1 ? length : sizeof chunk - 1;
    std::memcpy(chunk, text, n);
    chunk[n] = '\0';
    OutputDebugStringA(chunk);
    text += n;
    length -= n;
  }
#else
  // Every text the bridge writes is far shorter than this; a longer one goes in pieces.
  constexpr std::size_t kPiece = 1024;
  for (std::size_t at = 0; at < length; at += kPiece)
    Emit(text + at, length - at < kPiece ? length - at : kPiece);
#endif
}

void WriteDebugOutputEntry(const char* text, std::size_t length) {
#if defined(_WIN32)
  WriteDebugOutput(text, length);
#else
  char entry[1025];
  length = text::LengthToZero(text, length);
  if (length > sizeof entry - 1) length = sizeof entry - 1;
  if (length == 0) return;
  for (std::size_t i = 0; i < length; ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    entry[i] = byte < 0x20 || byte == 0x7f ? '.' : text[i];
  }
  entry[length] = '\n';
  Emit(entry, length + 1);
#endif
}

std::uint64_t DroppedDebugOutputTexts() {
#if defined(_WIN32)
  return 0;
#else
  return DroppedTexts.load();
#endif
}

bool DebugOutputSharesStandardOutput() {
#if defined(_WIN32)
  return false;
#else
  struct stat out {};
  struct stat err {};
  if (fstat(STDOUT_FILENO, &out) != 0 || fstat(STDERR_FILENO, &err) != 0) return false;
  return out.st_dev == err.st_dev && out.st_ino == err.st_ino && out.st_rdev == err.st_rdev;
#endif
}

}  // namespace skyhelm
