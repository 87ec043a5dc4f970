// skyhelm-bench: command latency, telemetry freshness and the idle cost of the real bridge,
// measured against the loopback floor of the same machine in the same run.
#include <stdlib.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "bench/floor.h"
#include "bench/report.h"
#include "bench/results.h"

namespace {

using namespace skyhelm::bench;

struct Options {
  std::size_t floor_samples = 10000;
  double loop_seconds = 3.0;
  bool smoke = false;
  bool progress = true;
  std::string json_path;
  std::string plot_path;
};

void ApplySmoke(Options& options) {
  options.floor_samples = 300;
  options.loop_seconds = 0.5;
}

void ReadLoad(double (&load)[3]) {
  if (getloadavg(load, 3) != 3) load[0] = load[1] = load[2] = -1;
}

void MeasureFloor(const Options& options, BenchResults& results) {
  results.udp_floor.label = "floor: UDP one-way";
  results.udp_floor.samples_ns = MeasureUdpOneWay(options.floor_samples, options.progress);
  results.udp_floor.summary = Summarize(results.udp_floor.samples_ns);
  results.tcp_floor.label = "floor: TCP one-way";
  results.tcp_floor.samples_ns = MeasureTcpOneWay(options.floor_samples, options.progress);
  results.tcp_floor.summary = Summarize(results.tcp_floor.samples_ns);
  if (options.progress)
    std::fprintf(stderr, "  floor: bare select loop for %.1f s\n", options.loop_seconds);
  results.bare_loop = MeasureBareSelectLoop(options.loop_seconds);
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  CLI::App app{"Measures the Skyhelm bridge against this machine's loopback floor."};
  app.add_flag("--smoke", options.smoke, "a few hundred samples, a few seconds (overrides counts)");
  app.add_option("--floor-samples", options.floor_samples, "one-way samples per floor");
  app.add_option("--loop-seconds", options.loop_seconds, "window of each loop-cost measurement");
  app.add_option("--json", options.json_path, "write the figures as JSON to this file");
  app.add_option("--plot", options.plot_path, "draw the latency distributions into this PNG");
  bool quiet = false;
  app.add_flag("--no-progress", quiet, "no progress lines on standard error");
  CLI11_PARSE(app, argc, argv);
  options.progress = !quiet;
  if (options.smoke) ApplySmoke(options);

  BenchResults results;
  results.mode = options.smoke ? "smoke" : "full";
  results.cores = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
  ReadLoad(results.load_before);
  MeasureFloor(options, results);
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
