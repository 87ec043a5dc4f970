// The skyhelm-sim command line.
#pragma once

#include <string>
#include <vector>

#include "simulator/client_session.h"
#include "simulator/server.h"

namespace skyhelm::simulator {

struct SimOptions {
  ServerOptions server;
  World world;  // start state, with the --set values applied, and --freeze
  bool list = false;
};

// Exit status for a bad command line.
inline constexpr int kUsageExitCode = 2;

// Parses argv. Returns -1 when the program should go on with `options`; otherwise the exit status
// to end with at once (0 after --help, kUsageExitCode for a bad option or value), the help text
// or the error message already written to `out` or `err`.
int ParseOptions(int argc, const char* const* argv, SimOptions& options, std::string& out,
                 std::string& err);

// The catalogue as --list prints it: one variable per line with its unit and alternatives.
std::string CatalogueListing();

}  // namespace skyhelm::simulator
