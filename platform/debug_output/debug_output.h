// The debugger output channel: OutputDebugStringA on Windows, a best-effort stand-in elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace skyhelm {

// Writes text to the debugger output: OutputDebugStringA on Windows. POSIX has no such channel,
// so there the same bytes go to standard error, unbuffered, never to standard output. Never
// waits, on either platform: OutputDebugStringA returns at once when no debugger listens, and on
// POSIX a text that standard error cannot take at once (a full pipe nobody reads, a terminal held
// by flow control) is dropped whole and counted. A text is written in one call, so it never
// comes out cut or mixed with another writer's bytes.
void WriteDebugOutput(const char* text);

// The same for a text that is not zero-terminated: at most `length` bytes, stopping early at a
// zero byte. Never reads past text + length.
void WriteDebugOutput(const char* text, std::size_t length);

// For a text that a debugger would show as an entry of its own but that carries no line feed
// (the value text after "Altitude Set\n"): on Windows exactly WriteDebugOutput; on POSIX the text
// with its control bytes shown as '.' and a line feed added, in one write, so that it stands on
// its own line of standard error and cannot drive the terminal. Nothing for an empty text.
void WriteDebugOutputEntry(const char* text, std::size_t length);

// How many texts the POSIX stand-in has dropped (or cut short) so far; always 0 on Windows.
std::uint64_t DroppedDebugOutputTexts();

// True on POSIX when standard error and standard output lead to the same place (one terminal,
// one file, one pipe), so that a text written to both would show twice there. False on Windows,
// where the debugger output is a channel of its own.
bool DebugOutputSharesStandardOutput();

}  // namespace skyhelm
