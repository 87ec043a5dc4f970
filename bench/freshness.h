// Telemetry freshness: from the moment a frame leaves for the bridge to the first line carrying
// it at the peer.
#pragma once

#include "bench/bridge_bench.h"
#include "bench/results.h"

namespace skyhelm::bench {

// Runs a bridge behind a frame-stamping relay to an in-process simulator at
// options.frame_rate_hz until options.frames frames have been seen at the peer (or three times
// the time that should take, plus ten seconds). Fills results.freshness, frames_lost and
// frame_rate_hz.
void MeasureFreshness(const BridgeBenchOptions& options, BenchResults& results);

}  // namespace skyhelm::bench
