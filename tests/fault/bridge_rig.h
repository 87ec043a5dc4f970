// Test support for the fault and flood runs: the real bridge and stand-in simulator as children,
// a loopback UDP peer, a raw client-library-protocol client, and a process's resident memory.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace skyhelm::testing {

// Generous: the suite also runs under sanitizers on a loaded two-core machine.
inline constexpr milliseconds kPatience{10000};

// Environment for a child whose memory a test measures. Under AddressSanitizer the freed-memory
// quarantine would otherwise grow the child's resident set by design; this keeps it small while
// keeping every other option (report paths, halt on error) the caller's environment set.
std::vector<std::string> MeasuredChildEnvironment();

// skyhelm-sim on a free loopback port (--port 0 plus `args`); `port` is read from its first line.
// nullptr if it did not start.
std::unique_ptr<ChildProcess> StartSimulator(const std::vector<std::string>& args, int& port);

// skyhelm on `udp_port`, talking to the simulator at 127.0.0.1:sim_port; waits for "Running...".
std::unique_ptr<ChildProcess> StartBridge(int udp_port, int sim_port,
                                          std::vector<std::string> env = {});

// The "event NAME DATA" lines of skyhelm-sim's standard output, in order.
std::vector<std::string> EventLines(const std::string& simulator_stdout);

// VmRSS of a live process in KiB, from /proc/<pid>/status; -1 when it cannot be read.
long ResidentKiB(pid_t pid);

// A UDP socket on 127.0.0.1 (port chosen by the system) that plays the bridge's peer.
class UdpPeer {
 public:
  UdpPeer();
  ~UdpPeer();
  UdpPeer(const UdpPeer&) = delete;
  UdpPeer& operator=(const UdpPeer&) = delete;

  bool Send(int port, const std::string& bytes);
  // One datagram, or nullopt when none came within `timeout` (or the socket reported an error).
  std::optional<std::string> Receive(milliseconds timeout);
  // Sends "1" every 100 ms until a datagram comes back: "Running..." comes before the first pass
  // binds the port, and a datagram sent before that is lost. The first reply, or nullopt.
  std::optional<std::string> Register(int port, milliseconds timeout = kPatience);
  // Receives until a telemetry line for which `accept` holds; nullopt on timeout.
  template <typename Accept>
  std::optional<std::string> ReceiveLineWhere(Accept accept, milliseconds timeout = kPatience) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
      auto datagram = Receive(milliseconds(200));
      if (datagram && accept(*datagram)) return datagram;
    }
    return std::nullopt;
  }
  // Discards every datagram already queued.
  void Drain();
  void Close();
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

// True for a telemetry line as the bridge sends it: "v1.2," ... ",\n\r\n".
bool IsTelemetryDatagram(const std::string& datagram);

// The i-th value (0-based, after the tag) of a telemetry datagram; "" when there is none.
std::string LineField(const std::string& datagram, std::size_t index);

}  // namespace skyhelm::testing
