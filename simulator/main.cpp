// skyhelm-sim: the stand-in flight simulator program.
#include <csignal>
#include <cstdio>
#include <iostream>

#include "platform/net/standard_streams.h"
#include "simulator/options.h"
#include "simulator/server.h"

namespace {

std::atomic<bool> g_stop{false};

extern "C" void RequestStop(int) { g_stop.store(true); }

void InstallSignalHandlers() {
  struct sigaction action {};
  action.sa_handler = RequestStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
}

void PrintLine(std::ostream& stream, const std::string& line) {
  stream << line << '\n';
  stream.flush();
}

}  // namespace

int main(int argc, char** argv) {
  if (!skyhelm::net::EnsureStandardStreams()) return 1;
  using namespace skyhelm::simulator;
  SimOptions options;
  std::string out;
  std::string err;
  const int status = ParseOptions(argc, argv, options, out, err);
  std::cout << out << std::flush;
  std::cerr << err << std::flush;
  if (status >= 0) return status;
  if (options.list) {
    std::cout << CatalogueListing() << std::flush;
    return 0;
  }
  InstallSignalHandlers();
  ServerLog log{[](const std::string& line) { PrintLine(std::cout, line); },
                [](const std::string& line) { PrintLine(std::cerr, "skyhelm-sim: " + line); }};
  Server server(options.server, options.world, log);
  if (!server.Listen(err)) {
    std::cerr << "skyhelm-sim: " << err << std::endl;
    return 1;
  }
  PrintLine(std::cout, "listening on 127.0.0.1:" + std::to_string(server.port()));
  server.Run(g_stop);
  return 0;
}
