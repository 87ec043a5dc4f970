// The bench's shared pieces: the clock, latency statistics, the loopback floor, the figures of one
// run with their targets, and the measurements of the real bridge. Children, free ports and the
// peer socket are the tests' (tests/support).
#pragma once

#include <sys/types.h>
#include <time.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/bridge_rig.h"
#include "tests/support/loopback_peer.h"

namespace skyhelm::bench {

using test_support::ChildProcess;

// Monotonic time: one clock shared by every process on this machine, so a stamp taken in one
// process can be subtracted from a stamp taken in another.
inline std::int64_t NowNs() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Sleeps at least duration_ns (the kernel's timer slack adds about 50 microseconds).
inline void SleepNs(std::int64_t duration_ns) {
  timespec wait{static_cast<time_t>(duration_ns / 1000000000),
                static_cast<long>(duration_ns % 1000000000)};
  while (nanosleep(&wait, &wait) != 0) {
  }
}

// Spaces samples out by a random 100..400 microseconds, so that each one finds its receiver idle
// (asleep or in its wait) at a random phase instead of queued behind the previous one.
struct Pacer {
  explicit Pacer(std::uint32_t seed) : rng_(seed) {}
  void Wait() { SleepNs(std::uniform_int_distribution<std::int64_t>(100000, 400000)(rng_)); }
  std::mt19937 rng_;
};

// Rewrites one line on standard error ("  <phase> 1234/10000") at most four times a second, and
// ends it when the phase is done. Silent when disabled.
struct Progress {
  Progress(const char* name, std::size_t count, bool enabled)
      : phase(enabled ? name : nullptr), total(count) {
    Update(0);
  }
  ~Progress() {
    last_print_ns = 0;
    Update(done);
    if (phase != nullptr) std::fputc('\n', stderr);
  }
  void Update(std::size_t now_done) {
    done = now_done;
    if (phase == nullptr || NowNs() - last_print_ns < 250000000) return;
    last_print_ns = NowNs();
    std::fprintf(stderr, "\r  %-28s %zu/%zu   ", phase, done, total);
    std::fflush(stderr);
  }
  const char* phase;  // nullptr when disabled
  std::size_t total, done = 0;
  std::int64_t last_print_ns = 0;
};

// Percentiles and extremes of one set of latency samples, in microseconds.
struct LatencySummary {
  std::size_t count = 0;
  double min_us = 0, mean_us = 0, p50_us = 0, p99_us = 0, p999_us = 0, max_us = 0;
};

// Nearest-rank percentile of ascending `sorted` samples: the smallest sample that at least
// fraction q (0..1) of all samples do not exceed. 0 for an empty set; q outside 0..1 is clamped.
std::int64_t NearestRank(const std::vector<std::int64_t>& sorted, double q);

// Summary of samples given in nanoseconds (any order); all zero for an empty set.
LatencySummary Summarize(std::vector<std::int64_t> samples_ns);

// value / floor, or NaN when the floor is not positive (no ratio can be given).
double RatioToFloor(double value, double floor);

// One-way latencies in nanoseconds, sender's stamp before the send to the receiver's stamp after
// its blocking receive returns, across two processes (a forked receiver). One message in flight
// at a time. Samples that get no answer within two seconds are left out.
std::vector<std::int64_t> MeasureOneWay(bool tcp, std::size_t samples, bool show_progress);

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

// A TCP connection on loopback with TCP_NODELAY, as the bridge and the simulator's library have
// theirs: to 127.0.0.1:port, or (with a listener) the next one accepted there. -1 on failure.
int LoopbackTcp(int port, int listener = -1);

// Peak resident set size (VmHWM of /proc/<pid>/status) in KiB; -1 when it cannot be read.
long PeakRssKib(pid_t pid);

// A latency distribution: raw samples (for the plot) and their summary.
struct LatencySeries {
  const char* label;
  std::vector<std::int64_t> samples_ns;
  LatencySummary summary;
  void Set(std::vector<std::int64_t> samples) {
    samples_ns = std::move(samples);
    summary = Summarize(samples_ns);
  }
};

// Heap allocations of the bridge over two windows of steady-state passes, the second about twice
// the first; `measured` is false when the preload library could not be used.
struct AllocationFigures {
  bool measured = false;
  std::uint64_t startup_allocations = 0;  // before the first window: shows the counter works
  std::uint64_t passes_first = 0, allocations_first = 0, passes_second = 0, allocations_second = 0;
  // A third window, with one command datagram every few passes.
  std::uint64_t command_passes = 0, command_allocations = 0;
  double PerPass() const {
    const std::uint64_t passes = passes_first + passes_second;
    return passes == 0 ? 0
                       : static_cast<double>(allocations_first + allocations_second) /
                             static_cast<double>(passes);
  }
};

// Everything one bench run measured.
struct BenchResults {
  std::string mode;  // "full" or "smoke"
  std::string simulator = "stand-in server in-process, aircraft frozen";
  int cores = 0;
  double load_before[3] = {0, 0, 0}, load_after[3] = {0, 0, 0};

  LatencySeries udp_floor{"floor: UDP one-way", {}, {}}, tcp_floor{"floor: TCP one-way", {}, {}};
  LoopCost bare_loop, syscall_loop;  // the bare loop, and with a pass's other two system calls

  LatencySeries command{"command: peer send -> sim event", {}, {}};
  // Frame produced -> first line carrying it at the peer.
  LatencySeries freshness{"freshness: frame -> line at peer", {}, {}};
  std::uint64_t frames_lost = 0;  // frames never seen at the peer (superseded before a send)
  double frame_rate_hz = 0;
  LoopCost idle;  // the bridge with a peer and no commands
  long peak_rss_kib = -1;
  AllocationFigures allocations;

  std::vector<std::string> notes;  // anything that limited or qualified the run

  double IdlePassUs() const { return idle.passes > 0 ? 1e6 / idle.PassesPerSecond() : 0; }
};

// One target, judged on this run's figures. `met` is meaningless unless `judged`.
struct TargetVerdict {
  std::string name, measured, limit;  // the figure and the bound it is held to, with their units
  bool judged = false, met = false;
};

std::vector<TargetVerdict> JudgeTargets(const BenchResults& results);

struct BridgeBenchOptions {
  std::string bridge_path;   // the skyhelm binary
  std::string preload_path;  // the allocation-counting preload library
  std::size_t command_samples = 10000, frames = 5000;
  double frame_rate_hz = 200;      // simulation frames during the freshness phase
  double idle_frame_rate_hz = 60;  // simulation frames during the other phases
  double loop_seconds = 3;
  std::size_t allocation_commands = 300;
  bool progress = true;
};

// Command latency, idle loop cost, peak memory, heap allocations per pass and telemetry freshness,
// each phase against its own bridge process and an in-process stand-in simulator; fills the bridge
// figures of `results` and notes anything that kept a figure from being measured.
void MeasureBridge(const BridgeBenchOptions& options, BenchResults& results);

}  // namespace skyhelm::bench
