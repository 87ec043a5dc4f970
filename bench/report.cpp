// The bench's output: a table for the terminal, JSON for machines, a plot of the distributions.
// The ratios are computed once, for both the table and the JSON.
#include <array>
#include <cmath>
#include <sstream>
#include <utility>

#include "bench/bench.h"

namespace skyhelm::bench {
namespace {

using Quad = std::array<double, 4>;  // p50, p99, p99.9, max
using Fields = std::vector<std::pair<const char*, std::string>>;

Quad Percentiles(const LatencySummary& s) { return {s.p50_us, s.p99_us, s.p999_us, s.max_us}; }

Quad Ratios(const Quad& values, const Quad& floors) {
  Quad ratios{};
  for (std::size_t i = 0; i < ratios.size(); ++i) ratios[i] = RatioToFloor(values[i], floors[i]);
  return ratios;
}

// The figures that both outputs show beside their floors.
struct Derived {
  explicit Derived(const BenchResults& r)
      : floor(Sum(Percentiles(r.udp_floor.summary), Percentiles(r.tcp_floor.summary))),
        command(Ratios(Percentiles(r.command.summary), floor)),
        freshness(Ratios(Percentiles(r.freshness.summary), floor)),
        passes(Ratios(Percentiles(r.freshness.summary),
                      Quad{r.IdlePassUs(), r.IdlePassUs(), r.IdlePassUs(), r.IdlePassUs()})),
        bare{RatioToFloor(r.idle.PassesPerSecond(), r.bare_loop.PassesPerSecond()),
             RatioToFloor(r.idle.CpuNsPerPass(), r.bare_loop.CpuNsPerPass())},
        syscall{RatioToFloor(r.idle.PassesPerSecond(), r.syscall_loop.PassesPerSecond()),
                RatioToFloor(r.idle.CpuNsPerPass(), r.syscall_loop.CpuNsPerPass())} {}
  // The path of a command (and of a frame) crosses one loopback UDP hop and one TCP hop.
  static Quad Sum(const Quad& a, const Quad& b) {
    return {a[0] + b[0], a[1] + b[1], a[2] + b[2], a[3] + b[3]};
  }
  Quad floor, command, freshness, passes;
  double bare[2], syscall[2];
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

std::string Number(double value) {
  if (!std::isfinite(value)) return "null";
  char buffer[40];
  std::snprintf(buffer, sizeof buffer, "%.3f", value);
  return buffer;
}

template <typename Integer>
std::string Int(Integer value) {
  return std::to_string(value);
}

std::string String(const std::string& text) {
  std::string quoted = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') quoted += '\\';
    quoted += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  }
  return quoted + "\"";
}

std::string Join(const Fields& fields, const std::string& before, const char* between) {
  std::string text;
  for (const auto& [key, value] : fields) {
    text += (text.empty() ? "" : between) + before + "\"" + key + "\": " + value;
  }
  return text;
}
std::string Inline(const Fields& fields) { return "{" + Join(fields, "", ", ") + "}"; }
// One field per line, indented one level below `indent`.
std::string Block(const Fields& fields, const std::string& indent) {
  return "{\n" + Join(fields, indent + "  ", ",\n") + "\n" + indent + "}";
}

std::string Latency(const LatencySummary& s) {
  return Inline({{"count", Int(s.count)},
                 {"min_us", Number(s.min_us)},
                 {"mean_us", Number(s.mean_us)},
                 {"p50_us", Number(s.p50_us)},
                 {"p99_us", Number(s.p99_us)},
                 {"p999_us", Number(s.p999_us)},
                 {"max_us", Number(s.max_us)}});
}

std::string Loop(const LoopCost& c) {
  return Inline({{"passes", Int(c.passes)},
                 {"wall_s", Number(c.wall_s)},
                 {"cpu_ns", Int(c.cpu_ns)},
                 {"passes_per_s", Number(c.PassesPerSecond())},
                 {"cpu_ns_per_pass", Number(c.CpuNsPerPass())}});
}

// The first `count` of p50, p99, p999.
std::string RatioFields(const Quad& ratios, std::size_t count) {
  const char* names[] = {"p50", "p99", "p999"};
  Fields fields;
  for (std::size_t i = 0; i < count; ++i) fields.emplace_back(names[i], Number(ratios[i]));
  return Inline(fields);
}

std::string LoopRatios(const double (&ratios)[2]) {
  return Inline({{"passes_per_s", Number(ratios[0])}, {"cpu_per_pass", Number(ratios[1])}});
}

std::string Load(const double (&load)[3]) {
  char buffer[80];
  std::snprintf(buffer, sizeof buffer, "[%g, %g, %g]", load[0], load[1], load[2]);
  return buffer;
}

}  // namespace

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
  const Derived d(r);
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

bool WriteJson(const std::string& path, const BenchResults& r,
               const std::vector<TargetVerdict>& verdicts) {
  std::FILE* out = std::fopen(path.c_str(), "w");
  if (out == nullptr) return false;
  const Derived d(r);
  const AllocationFigures& a = r.allocations;
  std::string targets = "[";
  for (const TargetVerdict& v : verdicts) {
    targets += std::string(targets.size() > 1 ? ",\n    " : "\n    ") +
               Inline({{"target", String(v.name)},
                       {"measured", String(v.measured)},
                       {"limit", String(v.limit)},
                       {"judged", v.judged ? "true" : "false"},
                       {"met", v.judged && v.met ? "true" : "false"}});
  }
  std::string notes;
  for (const std::string& note : r.notes) notes += (notes.empty() ? "" : ", ") + String(note);
  const std::string json =
      Block({{"mode", String(r.mode)},
             {"simulator", String(r.simulator)},
             {"cores", Int(r.cores)},
             {"load_before", Load(r.load_before)},
             {"load_after", Load(r.load_after)},
             {"floor", Block({{"udp_one_way", Latency(r.udp_floor.summary)},
                              {"tcp_one_way", Latency(r.tcp_floor.summary)},
                              {"bare_select_loop", Loop(r.bare_loop)},
                              {"select_recv_sendto_loop", Loop(r.syscall_loop)}},
                             "  ")},
             {"command_latency", Latency(r.command.summary)},
             {"command_ratio_to_floor", RatioFields(d.command, 3)},
             {"freshness", Latency(r.freshness.summary)},
             {"freshness_ratio_to_floor", RatioFields(d.freshness, 3)},
             {"freshness_in_idle_pass_periods", RatioFields(d.passes, 2)},
             {"frame_rate_hz", Number(r.frame_rate_hz)},
             {"frames_lost", Int(r.frames_lost)},
             {"idle", Loop(r.idle)},
             {"idle_ratio_to_bare_loop", LoopRatios(d.bare)},
             {"idle_ratio_to_syscall_loop", LoopRatios(d.syscall)},
             {"peak_rss_kib", Int(r.peak_rss_kib)},
             {"heap_allocations", Inline({{"measured", a.measured ? "true" : "false"},
                                          {"startup_allocations", Int(a.startup_allocations)},
                                          {"passes_first", Int(a.passes_first)},
                                          {"allocations_first", Int(a.allocations_first)},
                                          {"passes_second", Int(a.passes_second)},
                                          {"allocations_second", Int(a.allocations_second)},
                                          {"command_passes", Int(a.command_passes)},
                                          {"command_allocations", Int(a.command_allocations)},
                                          {"per_pass", Number(a.PerPass())}})},
             {"targets", targets + "\n  ]"},
             {"notes", "[" + notes + "]"}},
            "");
  const bool written = std::fprintf(out, "%s\n", json.c_str()) > 0;
  return std::fclose(out) == 0 && written;
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
    const double n = static_cast<double>(s->samples_ns.size());
    for (const CdfPoint& p : CdfPoints(s->samples_ns, 400)) {
      // Fraction of samples at or above this latency: never zero, so the log scale can show it.
      script << p.latency_us << " " << p.fraction << " " << (1.0 - p.fraction + 1.0 / n) << "\n";
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

}  // namespace skyhelm::bench
