// The measurements of the real bridge: command latency, telemetry freshness, idle loop cost,
// peak memory and heap allocations per pass.
#pragma once

#include <cstddef>
#include <string>

#include "bench/results.h"

namespace skyhelm::bench {

struct BridgeBenchOptions {
  std::string bridge_path;   // the skyhelm binary
  std::string preload_path;  // the allocation-counting preload library
  std::size_t command_samples = 10000;
  std::size_t frames = 5000;
  double frame_rate_hz = 200;      // simulation frames during the freshness phase
  double idle_frame_rate_hz = 60;  // simulation frames during the other phases
  double loop_seconds = 3;
  std::size_t allocation_commands = 300;
  bool progress = true;
};

// Runs every phase against its own bridge process and an in-process stand-in simulator; fills
// the bridge figures of `results` and notes anything that kept a figure from being measured.
void MeasureBridge(const BridgeBenchOptions& options, BenchResults& results);

// Telemetry freshness, from the moment a frame leaves for the bridge to the first line carrying
// it at the peer: runs a bridge behind a frame-stamping relay to an in-process simulator at
// options.frame_rate_hz until options.frames frames have been seen at the peer (or three times
// the time that should take, plus ten seconds). Fills results.freshness, frames_lost and
// frame_rate_hz.
void MeasureFreshness(const BridgeBenchOptions& options, BenchResults& results);

}  // namespace skyhelm::bench
