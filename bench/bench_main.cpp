// skyhelm-bench: command latency, telemetry freshness and the idle cost of the real bridge,
// measured against the loopback floor of the same machine in the same run.
#include <stdlib.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "bench/bench.h"
#include "platform/net/standard_streams.h"

namespace {

using namespace skyhelm::bench;

struct Options {
  BridgeBenchOptions bridge;
  std::size_t floor_samples = 10000;
  bool smoke = false;
  std::string json_path;
  std::string plot_path;
};

void ApplySmoke(Options& options) {
  options.floor_samples = 300;
  options.bridge.command_samples = 300;
  options.bridge.frames = 300;
  options.bridge.loop_seconds = 0.6;
  options.bridge.allocation_commands = 50;
}

// Directory of this executable: the bridge and the preload library come from the same build.
std::string OwnDirectory() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return ".";
  const std::string own(path, static_cast<std::size_t>(n));
  return own.substr(0, own.rfind('/'));
}

void ReadLoad(double (&load)[3]) {
  if (getloadavg(load, 3) != 3) load[0] = load[1] = load[2] = -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (!skyhelm::net::EnsureStandardStreams()) return 1;
  Options options;
  CLI::App app{"Measures the Skyhelm bridge against this machine's loopback floor.",
               "skyhelm-bench"};
  app.set_version_flag("--version", std::string("skyhelm-bench ") + SKYHELM_VERSION);
  app.add_flag("--smoke", options.smoke, "a few hundred samples, a few seconds (overrides counts)");
  app.add_option("--floor-samples", options.floor_samples, "one-way samples per floor");
  app.add_option("--samples", options.bridge.command_samples, "command-latency samples");
  app.add_option("--frames", options.bridge.frames, "telemetry frames to see at the peer");
  app.add_option("--frame-rate", options.bridge.frame_rate_hz,
                 "simulation frames per second while freshness is measured");
  app.add_option("--loop-seconds", options.bridge.loop_seconds,
                 "seconds each loop is watched, in three alternating windows");
  app.add_option("--bridge", options.bridge.bridge_path, "the skyhelm binary to measure");
  app.add_option("--preload", options.bridge.preload_path,
                 "the allocation-counting library to preload into the bridge");
  app.add_option("--json", options.json_path, "write the figures as JSON to this file");
  app.add_option("--plot", options.plot_path, "draw the latency distributions into this PNG");
  bool quiet = false;
  app.add_flag("--no-progress", quiet, "no progress lines on standard error");
  CLI11_PARSE(app, argc, argv);
  options.bridge.progress = !quiet;
  if (options.smoke) ApplySmoke(options);
  if (options.bridge.bridge_path.empty()) options.bridge.bridge_path = OwnDirectory() + "/skyhelm";
  if (options.bridge.preload_path.empty()) {
    options.bridge.preload_path = OwnDirectory() + "/../lib/libskyhelm_alloc_count.so";
  }

  BenchResults results;
  results.mode = options.smoke ? "smoke" : "full";
  results.cores = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
  ReadLoad(results.load_before);
  results.udp_floor.Set(MeasureUdpOneWay(options.floor_samples, options.bridge.progress));
  results.tcp_floor.Set(MeasureTcpOneWay(options.floor_samples, options.bridge.progress));
  MeasureBridge(options.bridge, results);
  // Measured beside the idle bridge; alone when the bridge did not get that far.
  if (results.bare_loop.passes == 0) {
    results.bare_loop = MeasureBareSelectLoop(options.bridge.loop_seconds);
  }
  ReadLoad(results.load_after);

  const std::vector<TargetVerdict> verdicts = JudgeTargets(results);
  PrintTable(stdout, results, verdicts);
  int status = 0;
  if (!options.json_path.empty() && !WriteJson(options.json_path, results, verdicts)) {
    std::fprintf(stderr, "cannot write %s\n", options.json_path.c_str());
    status = 1;
  }
  if (!options.plot_path.empty() && !WritePlot(options.plot_path, results)) {
    std::fprintf(stderr, "cannot draw %s (is gnuplot installed?)\n", options.plot_path.c_str());
    status = 1;
  }
  return status;
}
