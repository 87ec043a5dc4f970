// The bridge's console: status messages, and how standard output and the debugger output meet.
//
// A status message goes first to the debugger output, then with the same text to standard
// output. On POSIX the debugger output is standard error, and when standard error and standard
// output lead to the same place (a terminal, or one log file or pipe after 2>&1) the debugger
// copy of a status message is left out there, so that each one shows once, and standard output
// is line buffered, so that its texts and the debugger texts come out in the order they were
// written. Standard output's bytes and their order are the same in every case; on Windows
// nothing of this applies (OutputDebugStringA is a channel of its own).
#pragma once

namespace skyhelm {

// Chooses the scheme above. Call once, first thing, before anything is written.
void SetUpConsole();

// A status message: the debugger copy (unless the scheme leaves it out), then standard output.
void WriteStatus(const char* text);

}  // namespace skyhelm
