// The bench's machine-readable output (JSON) and its plot (gnuplot).
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "bench/report.h"

namespace skyhelm::bench {
namespace {

constexpr std::size_t kPlotPoints = 400;

std::string JsonNumber(double value) {
  if (!std::isfinite(value)) return "null";
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.3f", value);
  return buffer;
}

std::string JsonString(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    if (static_cast<unsigned char>(c) < 0x20) {
      quoted += ' ';
      continue;
    }
    quoted += c;
  }
  return quoted + "\"";
}

std::string JsonLatency(const LatencySummary& s) {
  std::ostringstream out;
  out << "{\"count\": " << s.count << ", \"min_us\": " << JsonNumber(s.min_us)
      << ", \"mean_us\": " << JsonNumber(s.mean_us) << ", \"p50_us\": " << JsonNumber(s.p50_us)
      << ", \"p99_us\": " << JsonNumber(s.p99_us) << ", \"p999_us\": " << JsonNumber(s.p999_us)
      << ", \"max_us\": " << JsonNumber(s.max_us) << "}";
  return out.str();
}

std::string JsonLoop(const LoopCost& c) {
  std::ostringstream out;
  out << "{\"passes\": " << c.passes << ", \"wall_s\": " << JsonNumber(c.wall_s)
      << ", \"cpu_ns\": " << c.cpu_ns << ", \"passes_per_s\": " << JsonNumber(c.PassesPerSecond())
      << ", \"cpu_ns_per_pass\": " << JsonNumber(c.CpuNsPerPass()) << "}";
  return out.str();
}

std::string JsonAllocations(const AllocationFigures& a) {
  std::ostringstream out;
  out << "{\"measured\": " << (a.measured ? "true" : "false")
      << ", \"startup_allocations\": " << a.startup_allocations
      << ", \"passes_first\": " << a.passes_first
      << ", \"allocations_first\": " << a.allocations_first
      << ", \"passes_second\": " << a.passes_second
      << ", \"allocations_second\": " << a.allocations_second
      << ", \"command_passes\": " << a.command_passes
      << ", \"command_allocations\": " << a.command_allocations
      << ", \"per_pass\": " << JsonNumber(a.PerPass()) << "}";
  return out.str();
}

std::string JsonVerdicts(const std::vector<TargetVerdict>& verdicts) {
  std::string out = "[";
  for (std::size_t i = 0; i < verdicts.size(); ++i) {
    const TargetVerdict& v = verdicts[i];
    out += std::string(i ? ",\n    " : "\n    ") + "{\"target\": " + JsonString(v.name) +
           ", \"measured\": " + JsonString(v.measured) + ", \"limit\": " + JsonString(v.limit) +
           ", \"judged\": " + (v.judged ? "true" : "false") +
           ", \"met\": " + (v.judged && v.met ? "true" : "false") + "}";
  }
  return out + "\n  ]";
}

std::string JsonRatio(double value, double floor) { return JsonNumber(RatioToFloor(value, floor)); }

void AppendDataBlock(std::ostringstream& script, const char* name, const LatencySeries& series) {
  script << "$" << name << " << EOD\n";
  const double n = static_cast<double>(series.samples_ns.size());
  for (const CdfPoint& p : CdfPoints(series.samples_ns, kPlotPoints)) {
    // Fraction of samples at or above this latency: never zero, so the log scale can show it.
    script << p.latency_us << " " << p.fraction << " " << (1.0 - p.fraction + 1.0 / n) << "\n";
  }
  script << "EOD\n";
}

}  // namespace

bool WriteJson(const std::string& path, const BenchResults& r,
               const std::vector<TargetVerdict>& verdicts) {
  std::ofstream out(path);
  if (!out) return false;
  const LatencySummary& udp = r.udp_floor.summary;
  const LatencySummary& tcp = r.tcp_floor.summary;
  const double pass_us = r.idle.passes > 0 ? 1e6 / r.idle.PassesPerSecond() : 0;
  out << "{\n  \"mode\": " << JsonString(r.mode)
      << ",\n  \"simulator\": " << JsonString(r.simulator) << ",\n  \"cores\": " << r.cores
      << ",\n  \"load_before\": [" << r.load_before[0] << ", " << r.load_before[1] << ", "
      << r.load_before[2] << "],\n  \"load_after\": [" << r.load_after[0] << ", " << r.load_after[1]
      << ", " << r.load_after[2] << "],\n  \"floor\": {\n    \"udp_one_way\": " << JsonLatency(udp)
      << ",\n    \"tcp_one_way\": " << JsonLatency(tcp)
      << ",\n    \"bare_select_loop\": " << JsonLoop(r.bare_loop)
      << ",\n    \"select_recv_sendto_loop\": " << JsonLoop(r.syscall_loop)
      << "\n  },\n  \"command_latency\": " << JsonLatency(r.command.summary)
      << ",\n  \"command_ratio_to_floor\": {\"p50\": "
      << JsonRatio(r.command.summary.p50_us, udp.p50_us + tcp.p50_us)
      << ", \"p99\": " << JsonRatio(r.command.summary.p99_us, udp.p99_us + tcp.p99_us)
      << ", \"p999\": " << JsonRatio(r.command.summary.p999_us, udp.p999_us + tcp.p999_us)
      << "},\n  \"freshness\": " << JsonLatency(r.freshness.summary)
      << ",\n  \"freshness_ratio_to_floor\": {\"p50\": "
      << JsonRatio(r.freshness.summary.p50_us, udp.p50_us + tcp.p50_us)
      << ", \"p99\": " << JsonRatio(r.freshness.summary.p99_us, udp.p99_us + tcp.p99_us)
      << ", \"p999\": " << JsonRatio(r.freshness.summary.p999_us, udp.p999_us + tcp.p999_us)
      << "},\n  \"freshness_in_idle_pass_periods\": {\"p50\": "
      << JsonRatio(r.freshness.summary.p50_us, pass_us)
      << ", \"p99\": " << JsonRatio(r.freshness.summary.p99_us, pass_us)
      << "},\n  \"frame_rate_hz\": " << JsonNumber(r.frame_rate_hz)
      << ",\n  \"frames_lost\": " << r.frames_lost << ",\n  \"idle\": " << JsonLoop(r.idle)
      << ",\n  \"idle_ratio_to_bare_loop\": {\"passes_per_s\": "
      << JsonRatio(r.idle.PassesPerSecond(), r.bare_loop.PassesPerSecond())
      << ", \"cpu_per_pass\": " << JsonRatio(r.idle.CpuNsPerPass(), r.bare_loop.CpuNsPerPass())
      << "},\n  \"idle_ratio_to_syscall_loop\": {\"passes_per_s\": "
      << JsonRatio(r.idle.PassesPerSecond(), r.syscall_loop.PassesPerSecond())
      << ", \"cpu_per_pass\": " << JsonRatio(r.idle.CpuNsPerPass(), r.syscall_loop.CpuNsPerPass())
      << "},\n  \"peak_rss_kib\": " << r.peak_rss_kib
      << ",\n  \"heap_allocations\": " << JsonAllocations(r.allocations)
      << ",\n  \"targets\": " << JsonVerdicts(verdicts) << ",\n  \"notes\": [";
  for (std::size_t i = 0; i < r.notes.size(); ++i) out << (i ? ", " : "") << JsonString(r.notes[i]);
  out << "]\n}\n";
  return static_cast<bool>(out);
}

bool WritePlot(const std::string& path, const BenchResults& r) {
  const LatencySeries* series[] = {&r.udp_floor, &r.tcp_floor, &r.command, &r.freshness};
  const char* names[] = {"udp", "tcp", "command", "freshness"};
  std::ostringstream script;
  std::string plot_cdf;
  std::string plot_tail;
  for (std::size_t i = 0; i < 4; ++i) {
    if (series[i]->samples_ns.empty()) continue;
    AppendDataBlock(script, names[i], *series[i]);
    const std::string title = " title '" + series[i]->label + "'";
    plot_cdf += (plot_cdf.empty() ? "" : ", ") + std::string("$") + names[i] +
                " using 1:2 with lines lw 2" + title;
    plot_tail += (plot_tail.empty() ? "" : ", ") + std::string("$") + names[i] +
                 " using 1:3 with lines lw 2" + title;
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

}  // namespace skyhelm::bench
