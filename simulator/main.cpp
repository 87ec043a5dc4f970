// skyhelm-sim: the stand-in flight simulator program.
#include <csignal>
#include <cstdio>
#include <iostream>

#include <unistd.h>

#include "platform/net/standard_streams.h"
#include "simulator/line_sink.h"
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
  // Standard input carries the pause control; started in the background on a terminal, reading
  // it must fail (and end the control) rather than stop the whole simulator.
  std::signal(SIGTTIN, SIG_IGN);
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
  // The loop's lines never wait for their reader: what a full pipe cannot take is dropped and
  // counted, so one client's flood with nobody reading cannot stall every other client.
  LineSink out_sink(STDOUT_FILENO);
  LineSink err_sink(STDERR_FILENO);
  ServerLog log{[&](const std::string& line) { out_sink.Write(line); },
                [&](const std::string& line) { err_sink.Write("skyhelm-sim: " + line); }};
  options.server.control_fd = STDIN_FILENO;
  Server server(options.server, options.world, log);
  if (!server.Listen(err)) {
    std::cerr << "skyhelm-sim: " << err << std::endl;
    return 1;
  }
  PrintLine(std::cout, "listening on 127.0.0.1:" + std::to_string(server.port()));
  server.Run(g_stop);
  const std::uint64_t dropped = out_sink.dropped() + err_sink.dropped();
  if (dropped > 0) {
    err_sink.Write("skyhelm-sim: " + std::to_string(dropped) +
                   " output lines dropped: standard output or error was not read in time");
  }
  return 0;
}
