// Everything one bench run measured, and the targets it is held against.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bench/floor.h"
#include "bench/stats.h"

namespace skyhelm::bench {

// A latency distribution: raw samples (for the plot) and their summary.
struct LatencySeries {
  std::string label;
  std::vector<std::int64_t> samples_ns;
  LatencySummary summary;
};

// Heap allocations of the bridge over two windows of steady-state passes, the second about twice
// the first; `measured` is false when the preload library could not be used.
struct AllocationFigures {
  bool measured = false;
  std::uint64_t startup_allocations = 0;  // before the first window: shows the counter works
  std::uint64_t passes_first = 0;
  std::uint64_t allocations_first = 0;
  std::uint64_t passes_second = 0;
  std::uint64_t allocations_second = 0;
  std::uint64_t command_passes = 0;  // a third window with one command datagram per few passes
  std::uint64_t command_allocations = 0;
  double PerPass() const;
};

struct BenchResults {
  std::string mode;       // "full" or "smoke"
  std::string simulator;  // how the simulator ran
  int cores = 0;
  double load_before[3] = {0, 0, 0};
  double load_after[3] = {0, 0, 0};

  LatencySeries udp_floor;
  LatencySeries tcp_floor;
  LoopCost bare_loop;
  LoopCost syscall_loop;  // the bare loop plus a pass's other two system calls (informational)

  LatencySeries command;          // peer datagram -> event at the simulator
  LatencySeries freshness;        // frame produced -> first line carrying it at the peer
  std::uint64_t frames_lost = 0;  // frames never seen at the peer (superseded before a send)
  double frame_rate_hz = 0;
  LoopCost idle;  // the bridge with a peer and no commands
  long peak_rss_kib = -1;
  AllocationFigures allocations;

  std::vector<std::string> notes;  // anything that limited or qualified the run
};

// One target, judged on this run's figures. `met` is meaningless unless `judged`.
struct TargetVerdict {
  std::string name;
  std::string measured;  // the figure, with its unit
  std::string limit;     // the bound it is held to, with its unit
  bool judged = false;
  bool met = false;
};

std::vector<TargetVerdict> JudgeTargets(const BenchResults& results);

}  // namespace skyhelm::bench
