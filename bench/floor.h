// The floor that this machine sets in this run: one-way loopback UDP and TCP latency between two
// processes, and a bare loop of the bridge's 100-microsecond select with nothing else to do.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

namespace skyhelm::bench {

// Spaces samples out by a random 100..400 microseconds, so that each one finds its receiver idle
// (asleep or in its wait) at a random phase instead of queued behind the previous one.
class Pacer {
 public:
  explicit Pacer(std::uint32_t seed) : rng_(seed) {}
  void Wait();

 private:
  std::mt19937 rng_;
};

// One-way latencies in nanoseconds, sender's stamp before the send to the receiver's stamp after
// its blocking receive returns, across two processes (a forked receiver). One message in flight
// at a time. Samples that get no answer within two seconds are left out.
std::vector<std::int64_t> MeasureUdpOneWay(std::size_t samples, bool show_progress);
std::vector<std::int64_t> MeasureTcpOneWay(std::size_t samples, bool show_progress);

// Pass rate and CPU cost of a loop running in another process.
struct LoopCost {
  std::uint64_t passes = 0;
  double wall_s = 0;
  std::int64_t cpu_ns = 0;  // the process's CPU time over the window, all threads
  void Add(const LoopCost& window) {
    passes += window.passes;
    wall_s += window.wall_s;
    cpu_ns += window.cpu_ns;
  }
  double PassesPerSecond() const { return wall_s > 0 ? static_cast<double>(passes) / wall_s : 0; }
  double CpuNsPerPass() const {
    return passes > 0 ? static_cast<double>(cpu_ns) / static_cast<double>(passes) : 0;
  }
};

// Watches process `pid` for `seconds`: reads pass_count() and the process's CPU time at the start
// and at the end of the window.
LoopCost WatchLoop(pid_t pid, const std::function<std::uint64_t()>& pass_count, double seconds);

// A forked process that does nothing but select(2) on one bound UDP socket with a 100-microsecond
// timeout, counted for `seconds` after a short warm-up.
LoopCost MeasureBareSelectLoop(double seconds);

// The same loop plus the two other system calls that every bridge pass makes by design: a
// non-blocking receive on an idle TCP connection (what the simulator library's dispatch does when
// nothing is pending) and a telemetry-sized datagram (line_bytes) to a reader that drains it. What
// a pass costs before any of the bridge's own work.
LoopCost MeasureSyscallLoop(double seconds, std::size_t line_bytes);

}  // namespace skyhelm::bench
