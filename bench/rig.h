// The bench's rig: the stand-in simulator's server on a thread of the bench (so that the arrival
// of each client event is stamped where it happens), the real bridge as a child with the bench as
// its UDP peer, and what the kernel knows about a child. Children, free ports and the loopback
// peer socket are the tests' (tests/support).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "simulator/server.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback_peer.h"

namespace skyhelm::bench {

using test_support::ChildProcess;

// Called on the server's thread for each client event it applies ("event NAME DATA"), with the
// monotonic time at which the server reported it.
using EventHandler =
    std::function<void(std::string_view name, std::int64_t data, std::int64_t logged_ns)>;

class SimHost {
 public:
  SimHost() = default;
  ~SimHost();  // stops the server and joins its thread
  SimHost(const SimHost&) = delete;
  SimHost& operator=(const SimHost&) = delete;

  // Starts serving on 127.0.0.1 on a free port with the aircraft frozen (events take effect at
  // once, nothing else moves), producing frames at rate_hz. False with the reason in `error`.
  bool Start(double rate_hz, EventHandler on_event, std::string& error);
  std::uint16_t port() const { return port_; }
  std::uint64_t frames() const;

 private:
  std::unique_ptr<simulator::Server> server_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  std::uint16_t port_ = 0;
};

// Called on the peer's reader thread for each datagram, with the time its receive returned.
using DatagramHandler = std::function<void(std::string_view datagram, std::int64_t received_ns)>;

// The bridge's UDP peer: sends command datagrams and reads every line the bridge sends back.
class Peer {
 public:
  Peer() = default;
  ~Peer();  // stops the reader and closes the socket
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // Opens the tests' loopback peer socket and becomes the peer of the bridge listening on
  // bridge_port (LoopbackPeer::Join: "1" until a line comes back, ten seconds at most). From then
  // on a reader thread counts every datagram and hands it to on_datagram (if given). False when no
  // line came back.
  bool Connect(std::uint16_t bridge_port, DatagramHandler on_datagram);

  // Sends one datagram to the bridge; the time just before the send.
  std::int64_t Send(std::string_view datagram);

  // Stops and joins the reader thread (the socket stays open); idempotent.
  void StopReading();

  // Datagrams received so far (one per bridge loop pass).
  std::uint64_t received() const { return received_.load(std::memory_order_relaxed); }

 private:
  void ReadLoop(DatagramHandler on_datagram);

  std::optional<test_support::LoopbackPeer> socket_;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> received_{0};
  std::thread reader_;
};

// A bridge process with the bench as its peer. The bridge is stopped with SIGTERM (SIGKILL after
// a second) when this goes.
struct BridgeUnderTest {
  ~BridgeUnderTest();
  std::unique_ptr<ChildProcess> process;
  Peer peer;
};

// Starts `bridge_path` on a free UDP port with SKYHELM_SIM_ADDRESS pointing at 127.0.0.1:sim_port
// (plus `env`), waits until it has written "Running..." (its loop has started; its standard error,
// an acknowledgement per command, goes to /dev/null) and makes `bridge.peer` its peer, the peer's
// datagrams going to on_datagram. False, with the reason appended to `notes`, when either step
// fails within ten seconds.
bool StartWithPeer(const std::string& bridge_path, std::uint16_t sim_port,
                   const std::vector<std::string>& env, DatagramHandler on_datagram,
                   BridgeUnderTest& bridge, std::vector<std::string>& notes);

// CPU time the process has had so far, summed over all its threads, in nanoseconds (from
// /proc/<pid>/task/*/schedstat, which counts in nanoseconds rather than clock ticks). -1 when it
// cannot be read (the process has gone).
std::int64_t ProcessCpuNs(pid_t pid);

// Peak resident set size (VmHWM of /proc/<pid>/status) in KiB; -1 when it cannot be read.
long PeakRssKib(pid_t pid);

}  // namespace skyhelm::bench
