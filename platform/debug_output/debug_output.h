// The debugger output channel, and the bridge's "status message" convention built on it.
#pragma once

#include <cstddef>

namespace skyhelm {

// Writes text to the debugger output: OutputDebugStringA on Windows. POSIX has no such channel,
// so there the same bytes go to standard error, unbuffered, never to standard output.
void WriteDebugOutput(const char* text);

// The same for a text that is not zero-terminated: at most `length` bytes, stopping early at a
// zero byte. Never reads past text + length.
void WriteDebugOutput(const char* text, std::size_t length);

// A status message: first to the debugger output, then the same text to standard output (stdio).
void WriteStatus(const char* text);

}  // namespace skyhelm
