// skyhelm-peer: a command-line peer for the Skyhelm bridge (send commands, read, watch, record).
#include <iostream>

#include "tools/peer/cli.h"

int main(int argc, char** argv) { return skyhelm::peer::RunCli(argc, argv, std::cout, std::cerr); }
