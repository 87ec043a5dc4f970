// skyhelm-peer: a command-line peer for the Skyhelm bridge (send commands, read, watch, record).
#include <iostream>

#include "platform/net/standard_streams.h"
#include "tools/peer/cli.h"

int main(int argc, char** argv) {
  if (!skyhelm::net::EnsureStandardStreams()) return 1;
  return skyhelm::peer::RunCli(argc, argv, std::cout, std::cerr);
}
