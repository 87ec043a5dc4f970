// Test support for the runs of the real programs: the bridge and stand-in simulator as children,
// telemetry lines. Peers are tests/support/loopback_peer.h.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/child_process.h"

namespace skyhelm::test_support {

// Generous: the suite also runs under sanitizers on a loaded two-core machine.
inline constexpr milliseconds kPatience{10000};

// skyhelm-sim on a free loopback port (--port 0 plus `args`); `port` is read from its first line.
// nullptr if it did not start.
inline std::unique_ptr<ChildProcess> StartSimulator(const std::vector<std::string>& args,
                                                    int& port) {
  std::vector<std::string> all{"--port", "0"};
  all.insert(all.end(), args.begin(), args.end());
  auto sim = ChildProcess::Start(BinPath("skyhelm-sim"), all);
  port = sim ? sim->WaitForPort("listening on ", kPatience) : 0;
  return port > 0 ? std::move(sim) : nullptr;
}

// skyhelm on `udp_port`, talking to the simulator at `sim_address`; waits for "Running..." (with
// kAllClosed, for nothing). SKYHELM_BRIDGE_WRAPPER, a command line such as "/usr/bin/valgrind -q",
// runs the bridge under that program.
inline std::unique_ptr<ChildProcess> StartBridge(int udp_port, const std::string& sim_address,
                                                 std::vector<std::string> env = {},
                                                 StderrMode stderr_mode = StderrMode::kCaptured) {
  env.push_back("SKYHELM_SIM_ADDRESS=" + sim_address);
  const char* wrapper = std::getenv("SKYHELM_BRIDGE_WRAPPER");
  std::istringstream words(wrapper != nullptr ? wrapper : "");
  std::vector<std::string> command{std::istream_iterator<std::string>(words), {}};
  command.insert(command.end(), {BinPath("skyhelm"), std::to_string(udp_port)});
  auto bridge =
      ChildProcess::Start(command[0], {command.begin() + 1, command.end()}, env, stderr_mode);
  if (stderr_mode != StderrMode::kAllClosed &&
      (!bridge || !bridge->WaitForStdout("Running...\n", kPatience)))
    return nullptr;
  return bridge;
}

// The "event NAME DATA" lines of skyhelm-sim's standard output, in order.
inline std::vector<std::string> EventLines(const std::string& simulator_stdout) {
  std::vector<std::string> events;
  std::istringstream lines(simulator_stdout);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("event ", 0) == 0) events.push_back(line);
  }
  return events;
}

// The i-th value (0-based, after the tag) of a telemetry line as the bridge sends it,
// "v1.2," ... ",\n\r\n"; "" for any other datagram.
inline std::string LineField(const std::string& d, std::size_t index) {
  if (d.rfind("v1.2,", 0) != 0 || d.size() < 9 || d.compare(d.size() - 4, 4, ",\n\r\n") != 0)
    return "";
  std::istringstream fields(d.substr(5));
  std::string field;
  for (std::size_t i = 0; i <= index; ++i) std::getline(fields, field, ',');
  return field;
}

}  // namespace skyhelm::test_support
