// skyhelm-bench: command latency, telemetry freshness and the idle cost of the real bridge,
// measured against the loopback floor of the same machine in the same run, reported as a table,
// as JSON and as a plot of the distributions.
#include <stdlib.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "bench/bench.h"
#include "platform/net/standard_streams.h"

namespace skyhelm::bench {
namespace {

using Json = nlohmann::ordered_json;
using Quad = std::array<double, 4>;  // p50, p99, p99.9, max

Quad Percentiles(const LatencySummary& s) { return {s.p50_us, s.p99_us, s.p999_us, s.max_us}; }

Quad Over(const Quad& values, const Quad& floors) {
  Quad ratios{};
  for (std::size_t i = 0; i < ratios.size(); ++i) ratios[i] = RatioToFloor(values[i], floors[i]);
  return ratios;
}

// The figures beside their floors, for both the table and the JSON.
struct Ratios {
  explicit Ratios(const BenchResults& r) {
    const Quad udp = Percentiles(r.udp_floor.summary), tcp = Percentiles(r.tcp_floor.summary);
    // The path of a command (and of a frame) crosses one loopback UDP hop and one TCP hop.
    for (std::size_t i = 0; i < floor.size(); ++i) floor[i] = udp[i] + tcp[i];
    command = Over(Percentiles(r.command.summary), floor);
    freshness = Over(Percentiles(r.freshness.summary), floor);
    const double pass_us = r.IdlePassUs();
    passes = Over(Percentiles(r.freshness.summary), {pass_us, pass_us, pass_us, pass_us});
    for (const auto& [out, loop] : {std::pair{&bare, &r.bare_loop}, {&syscall, &r.syscall_loop}}) {
      (*out)[0] = RatioToFloor(r.idle.PassesPerSecond(), loop->PassesPerSecond());
      (*out)[1] = RatioToFloor(r.idle.CpuNsPerPass(), loop->CpuNsPerPass());
    }
  }
  Quad floor{}, command{}, freshness{}, passes{};
  std::array<double, 2> bare{}, syscall{};  // passes per second, CPU per pass
};

void Row(std::FILE* out, const char* name, const std::string& count, const Quad& values,
         const char* cell) {
  std::fprintf(out, "  %-34s %7s", name, count.c_str());
  for (const double value : values) std::fprintf(out, cell, value);
  std::fputc('\n', out);
}

void LatencyRow(std::FILE* out, const LatencySeries& series) {
  Row(out, series.label, std::to_string(series.summary.count), Percentiles(series.summary),
      " %9.1f");
}

void LoopRow(std::FILE* out, const char* name, const LoopCost& c) {
  const double share = c.wall_s > 0 ? static_cast<double>(c.cpu_ns) / (c.wall_s * 1e9) : 0;
  std::fprintf(out, "  %-34s %9.0f %12.3f %10.1f%%\n", name, c.PassesPerSecond(),
               c.CpuNsPerPass() / 1000.0, 100.0 * share);
}

void PrintTable(std::FILE* out, const BenchResults& r, const std::vector<TargetVerdict>& verdicts) {
  std::fprintf(out,
               "Skyhelm bench: %s run, simulator %s, %d cores, load %.2f %.2f %.2f -> %.2f "
               "%.2f %.2f\n",
               r.mode.c_str(), r.simulator.c_str(), r.cores, r.load_before[0], r.load_before[1],
               r.load_before[2], r.load_after[0], r.load_after[1], r.load_after[2]);
  if (r.frame_rate_hz > 0) {
    std::fprintf(out, "  simulation frames at %.0f Hz; %llu frames never reached the peer\n",
                 r.frame_rate_hz, static_cast<unsigned long long>(r.frames_lost));
  }
  const Ratios d(r);
  std::fprintf(out,
               "\nLatency, microseconds                    n       p50       p99     p99.9"
               "       max\n");
  LatencyRow(out, r.udp_floor);
  LatencyRow(out, r.tcp_floor);
  Row(out, "floor: UDP + TCP (sum)", "", d.floor, " %9.1f");
  LatencyRow(out, r.command);
  Row(out, "  ratio to UDP + TCP floor", "", d.command, " %8.2fx");
  LatencyRow(out, r.freshness);
  Row(out, "  ratio to UDP + TCP floor", "", d.freshness, " %8.2fx");
  Row(out, "  in idle pass periods (p)", "", d.passes, " %8.2fp");

  std::fprintf(out, "\nLoop                                passes/s  CPU us/pass   CPU share\n");
  LoopRow(out, "floor: bare 100 us select loop", r.bare_loop);
  LoopRow(out, "floor: select + recv + sendto loop", r.syscall_loop);
  LoopRow(out, "bridge, idle with a peer", r.idle);
  std::fprintf(out, "  %-34s %8.3fx %11.3fx\n", "  ratio to the bare loop", d.bare[0], d.bare[1]);
  std::fprintf(out, "  %-34s %8.3fx %11.3fx\n", "  ratio to select+recv+sendto", d.syscall[0],
               d.syscall[1]);

  const AllocationFigures& a = r.allocations;
  std::fprintf(out, "\nMemory\n  peak RSS (VmHWM) of the bridge      %ld KiB\n", r.peak_rss_kib);
  if (!a.measured) {
    std::fprintf(out, "  heap allocations per pass           not measured\n");
  } else {
    std::fprintf(out,
                 "  heap allocations per pass           %.4f  (%llu in %llu passes, then %llu in "
                 "%llu passes)\n  ... while receiving commands        %llu in %llu passes\n"
                 "  ... during start-up (for contrast)  %llu\n",
                 a.PerPass(), static_cast<unsigned long long>(a.allocations_first),
                 static_cast<unsigned long long>(a.passes_first),
                 static_cast<unsigned long long>(a.allocations_second),
                 static_cast<unsigned long long>(a.passes_second),
                 static_cast<unsigned long long>(a.command_allocations),
                 static_cast<unsigned long long>(a.command_passes),
                 static_cast<unsigned long long>(a.startup_allocations));
  }

  std::fprintf(out, "\nTargets\n");
  for (const TargetVerdict& v : verdicts) {
    const char* mark = !v.judged ? "n/a    " : v.met ? "met    " : "NOT MET";
    std::fprintf(out, "  [%s] %-50s %14s   limit %s\n", mark, v.name.c_str(), v.measured.c_str(),
                 v.limit.c_str());
  }
  for (const std::string& note : r.notes) std::fprintf(out, "note: %s\n", note.c_str());
}

// Three decimals are more than the clock's noise; NaN (no ratio) is written as null.
double Rounded(double value) { return std::round(value * 1000) / 1000; }

Json Latency(const LatencySummary& s) {
  return {{"count", s.count},
          {"min_us", Rounded(s.min_us)},
          {"mean_us", Rounded(s.mean_us)},
          {"p50_us", Rounded(s.p50_us)},
          {"p99_us", Rounded(s.p99_us)},
          {"p999_us", Rounded(s.p999_us)},
          {"max_us", Rounded(s.max_us)}};
}

Json Loop(const LoopCost& c) {
  return {{"passes", c.passes},
          {"wall_s", Rounded(c.wall_s)},
          {"cpu_ns", c.cpu_ns},
          {"passes_per_s", Rounded(c.PassesPerSecond())},
          {"cpu_ns_per_pass", Rounded(c.CpuNsPerPass())}};
}

// The first `count` of p50, p99, p999.
Json FirstRatios(const Quad& ratios, std::size_t count) {
  Json json = Json::object();
  const char* names[] = {"p50", "p99", "p999"};
  for (std::size_t i = 0; i < count; ++i) json[names[i]] = Rounded(ratios[i]);
  return json;
}

Json LoopRatios(const std::array<double, 2>& ratios) {
  return {{"passes_per_s", Rounded(ratios[0])}, {"cpu_per_pass", Rounded(ratios[1])}};
}

bool WriteJson(const std::string& path, const BenchResults& r,
               const std::vector<TargetVerdict>& verdicts) {
  const Ratios d(r);
  const AllocationFigures& a = r.allocations;
  Json targets = Json::array();
  for (const TargetVerdict& v : verdicts) {
    targets.push_back({{"target", v.name},
                       {"measured", v.measured},
                       {"limit", v.limit},
                       {"judged", v.judged},
                       {"met", v.judged && v.met}});
  }
  const Json json = {
      {"mode", r.mode},
      {"simulator", r.simulator},
      {"cores", r.cores},
      {"load_before",
       {Rounded(r.load_before[0]), Rounded(r.load_before[1]), Rounded(r.load_before[2])}},
      {"load_after",
       {Rounded(r.load_after[0]), Rounded(r.load_after[1]), Rounded(r.load_after[2])}},
      {"floor",
       {{"udp_one_way", Latency(r.udp_floor.summary)},
        {"tcp_one_way", Latency(r.tcp_floor.summary)},
        {"bare_select_loop", Loop(r.bare_loop)},
        {"select_recv_sendto_loop", Loop(r.syscall_loop)}}},
      {"command_latency", Latency(r.command.summary)},
      {"command_ratio_to_floor", FirstRatios(d.command, 3)},
      {"freshness", Latency(r.freshness.summary)},
      {"freshness_ratio_to_floor", FirstRatios(d.freshness, 3)},
      {"freshness_in_idle_pass_periods", FirstRatios(d.passes, 2)},
      {"frame_rate_hz", Rounded(r.frame_rate_hz)},
      {"frames_lost", r.frames_lost},
      {"idle", Loop(r.idle)},
      {"idle_ratio_to_bare_loop", LoopRatios(d.bare)},
      {"idle_ratio_to_syscall_loop", LoopRatios(d.syscall)},
      {"peak_rss_kib", r.peak_rss_kib},
      {"heap_allocations",
       {{"measured", a.measured},
        {"startup_allocations", a.startup_allocations},
        {"passes_first", a.passes_first},
        {"allocations_first", a.allocations_first},
        {"passes_second", a.passes_second},
        {"allocations_second", a.allocations_second},
        {"command_passes", a.command_passes},
        {"command_allocations", a.command_allocations},
        {"per_pass", Rounded(a.PerPass())}}},
      {"targets", targets},
      {"notes", r.notes}};
  std::ofstream out(path);
  out << json.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
  return static_cast<bool>(out);
}

bool WritePlot(const std::string& path, const BenchResults& r) {
  const std::pair<const char*, const LatencySeries*> series[] = {{"udp", &r.udp_floor},
                                                                 {"tcp", &r.tcp_floor},
                                                                 {"command", &r.command},
                                                                 {"freshness", &r.freshness}};
  std::ostringstream script;
  std::string plot_cdf;
  std::string plot_tail;
  for (const auto& [name, s] : series) {
    if (s->samples_ns.empty()) continue;
    script << "$" << name << " << EOD\n";
    std::vector<std::int64_t> sorted = s->samples_ns;
    std::sort(sorted.begin(), sorted.end());
    const double n = static_cast<double>(sorted.size());
    for (std::size_t i = 0; i < sorted.size(); ++i) {
      // Fractions of samples at or below, and at or above (never zero, for the log scale).
      const double below = static_cast<double>(i + 1) / n;
      script << static_cast<double>(sorted[i]) / 1000.0 << " " << below << " "
             << (1.0 - below + 1.0 / n) << "\n";
    }
    script << "EOD\n";
    const std::string plot = std::string("$") + name + " using 1:";
    const std::string title = " with lines lw 2 title '" + std::string(s->label) + "'";
    plot_cdf += (plot_cdf.empty() ? "" : ", ") + plot + "2" + title;
    plot_tail += (plot_tail.empty() ? "" : ", ") + plot + "3" + title;
  }
  if (plot_cdf.empty()) return false;
  script << "set terminal pngcairo size 1400,600 font 'sans,10'\n"
         << "set output '" << path << "'\n"
         << "set multiplot layout 1,2 title 'Skyhelm bench (" << r.mode << " run, " << r.cores
         << " cores): latency distributions, loopback only'\n"
         << "set logscale x\nset grid\nset xlabel 'latency (microseconds)'\n"
         << "set key bottom right\nset ylabel 'fraction of samples at or below'\n"
         << "set yrange [0:1]\nset title 'cumulative'\nplot " << plot_cdf << "\n"
         << "set logscale y\nset yrange [1e-5:1]\nset format y '10^{%L}'\nset key top right\n"
         << "set ylabel 'fraction of samples at or above'\nset title 'tail'\nplot " << plot_tail
         << "\nunset multiplot\n";
  std::FILE* gnuplot = popen("gnuplot 2>/dev/null", "w");
  if (gnuplot == nullptr) return false;
  const std::string text = script.str();
  std::fwrite(text.data(), 1, text.size(), gnuplot);
  return pclose(gnuplot) == 0;
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
}  // namespace skyhelm::bench

int main(int argc, char** argv) {
  using namespace skyhelm::bench;
  if (!skyhelm::net::EnsureStandardStreams()) return 1;
  BridgeBenchOptions bridge;
  std::size_t floor_samples = 10000;
  bool smoke = false;
  bool quiet = false;
  std::string json_path;
  std::string plot_path;
  CLI::App app{"Measures the Skyhelm bridge against this machine's loopback floor.",
               "skyhelm-bench"};
  app.set_version_flag("--version", std::string("skyhelm-bench ") + SKYHELM_VERSION);
  app.add_flag("--smoke", smoke, "a few hundred samples, a few seconds (overrides counts)");
  app.add_option("--floor-samples", floor_samples, "one-way samples per floor");
  app.add_option("--samples", bridge.command_samples, "command-latency samples");
  app.add_option("--frames", bridge.frames, "telemetry frames to see at the peer");
  app.add_option("--frame-rate", bridge.frame_rate_hz,
                 "simulation frames per second while freshness is measured");
  app.add_option("--loop-seconds", bridge.loop_seconds,
                 "seconds each loop is watched, in three alternating windows");
  app.add_option("--bridge", bridge.bridge_path, "the skyhelm binary to measure");
  app.add_option("--preload", bridge.preload_path,
                 "the allocation-counting library to preload into the bridge");
  app.add_option("--json", json_path, "write the figures as JSON to this file");
  app.add_option("--plot", plot_path, "draw the latency distributions into this PNG");
  app.add_flag("--no-progress", quiet, "no progress lines on standard error");
  CLI11_PARSE(app, argc, argv);
  bridge.progress = !quiet;
  if (smoke) {
    floor_samples = bridge.command_samples = bridge.frames = 300;
    bridge.loop_seconds = 0.6;
    bridge.allocation_commands = 50;
  }
  if (bridge.bridge_path.empty()) bridge.bridge_path = OwnDirectory() + "/skyhelm";
  if (bridge.preload_path.empty()) {
    bridge.preload_path = OwnDirectory() + "/../lib/libskyhelm_alloc_count.so";
  }

  BenchResults results;
  results.mode = smoke ? "smoke" : "full";
  results.cores = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));
  ReadLoad(results.load_before);
  results.udp_floor.Set(MeasureOneWay(false, floor_samples, bridge.progress));
  results.tcp_floor.Set(MeasureOneWay(true, floor_samples, bridge.progress));
  MeasureBridge(bridge, results);
  // Measured beside the idle bridge; alone when the bridge did not get that far.
  if (results.bare_loop.passes == 0) results.bare_loop = MeasureBareSelectLoop(bridge.loop_seconds);
  ReadLoad(results.load_after);

  const std::vector<TargetVerdict> verdicts = JudgeTargets(results);
  PrintTable(stdout, results, verdicts);
  int status = 0;
  if (!json_path.empty() && !WriteJson(json_path, results, verdicts)) {
    std::fprintf(stderr, "cannot write %s\n", json_path.c_str());
    status = 1;
  }
  if (!plot_path.empty() && !WritePlot(plot_path, results)) {
    std::fprintf(stderr, "cannot draw %s (is gnuplot installed?)\n", plot_path.c_str());
    status = 1;
  }
  return status;
}
