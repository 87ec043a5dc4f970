// Debugger output: OutputDebugStringA on Windows, standard error elsewhere.
#include "platform/debug_output/debug_output.h"

#include <cstdio>
#include <cstring>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace skyhelm {

void WriteDebugOutput(const char* text) { WriteDebugOutput(text, std::strlen(text)); }

void WriteDebugOutput(const char* text, std::size_t length) {
  const void* zero = std::memchr(text, '\0', length);
  if (zero != nullptr) length = static_cast<std::size_t>(static_cast<const char*>(zero) - text);
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
  // write(2) directly: no stdio buffer to interleave with standard output, no allocation.
  while (length > 0) {
    const ssize_t n = ::write(STDERR_FILENO, text, length);
    if (n <= 0) return;
    text += n;
    length -= static_cast<std::size_t>(n);
  }
#endif
}

void WriteStatus(const char* text) {
  WriteDebugOutput(text);
  std::fputs(text, stdout);
}

}  // namespace skyhelm
