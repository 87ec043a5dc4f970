// The command line of skyhelm-peer: subcommands, options, help texts and exit codes.
#pragma once

#include <iosfwd>

namespace skyhelm::peer {

// Parses argv and runs the chosen subcommand. Exit codes: 0 success (and --help), 1 no line
// within the timeout or another run-time failure, 2 bad usage (message and hint on `err`).
int RunCli(int argc, const char* const* argv, std::ostream& out, std::ostream& err);

}  // namespace skyhelm::peer
