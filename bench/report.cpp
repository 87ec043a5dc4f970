// The bench's terminal table.
#include "bench/report.h"

#include <algorithm>

namespace skyhelm::bench {
namespace {

// Percentiles of the UDP and TCP floors added together: the path of a command (and of a frame)
// crosses one loopback UDP hop and one loopback TCP hop.
LatencySummary FloorSum(const BenchResults& r) {
  LatencySummary sum;
  const LatencySummary& udp = r.udp_floor.summary;
  const LatencySummary& tcp = r.tcp_floor.summary;
  sum.count = std::min(udp.count, tcp.count);
  sum.p50_us = udp.p50_us + tcp.p50_us;
  sum.p99_us = udp.p99_us + tcp.p99_us;
  sum.p999_us = udp.p999_us + tcp.p999_us;
  sum.max_us = udp.max_us + tcp.max_us;
  return sum;
}

void PrintLatencyRow(std::FILE* out, const char* name, const LatencySummary& s) {
  std::fprintf(out, "  %-34s %7zu %9.1f %9.1f %9.1f %9.1f\n", name, s.count, s.p50_us, s.p99_us,
               s.p999_us, s.max_us);
}

void PrintRatioRow(std::FILE* out, const LatencySummary& s, const LatencySummary& floor) {
  std::fprintf(out, "  %-34s %7s %8.2fx %8.2fx %8.2fx %8.2fx\n", "  ratio to UDP + TCP floor", "",
               RatioToFloor(s.p50_us, floor.p50_us), RatioToFloor(s.p99_us, floor.p99_us),
               RatioToFloor(s.p999_us, floor.p999_us), RatioToFloor(s.max_us, floor.max_us));
}

void PrintLatencies(std::FILE* out, const BenchResults& r) {
  const LatencySummary floor = FloorSum(r);
  std::fprintf(out,
               "\nLatency, microseconds                    n       p50       p99     p99.9"
               "       max\n");
  PrintLatencyRow(out, "floor: UDP one-way", r.udp_floor.summary);
  PrintLatencyRow(out, "floor: TCP one-way", r.tcp_floor.summary);
  std::fprintf(out, "  %-34s %7s %9.1f %9.1f %9.1f %9.1f\n", "floor: UDP + TCP (sum)", "",
               floor.p50_us, floor.p99_us, floor.p999_us, floor.max_us);
  PrintLatencyRow(out, "command: peer send -> sim event", r.command.summary);
  PrintRatioRow(out, r.command.summary, floor);
  PrintLatencyRow(out, "freshness: frame -> line at peer", r.freshness.summary);
  PrintRatioRow(out, r.freshness.summary, floor);
  const double pass_us = r.idle.passes > 0 ? 1e6 / r.idle.PassesPerSecond() : 0;
  const LatencySummary& f = r.freshness.summary;
  std::fprintf(out, "  %-34s %7s %8.2fp %8.2fp %8.2fp %8.2fp\n", "  in idle pass periods (p)", "",
               RatioToFloor(f.p50_us, pass_us), RatioToFloor(f.p99_us, pass_us),
               RatioToFloor(f.p999_us, pass_us), RatioToFloor(f.max_us, pass_us));
}

void PrintLoop(std::FILE* out, const BenchResults& r) {
  std::fprintf(out, "\nLoop                                passes/s  CPU us/pass   CPU share\n");
  const auto row = [out](const char* name, const LoopCost& c) {
    const double share = c.wall_s > 0 ? static_cast<double>(c.cpu_ns) / (c.wall_s * 1e9) : 0;
    std::fprintf(out, "  %-34s %9.0f %12.3f %10.1f%%\n", name, c.PassesPerSecond(),
                 c.CpuNsPerPass() / 1000.0, 100.0 * share);
  };
  row("floor: bare 100 us select loop", r.bare_loop);
  row("floor: select + recv + sendto loop", r.syscall_loop);
  row("bridge, idle with a peer", r.idle);
  std::fprintf(out, "  %-34s %8.3fx %11.3fx\n", "  ratio to the bare loop",
               RatioToFloor(r.idle.PassesPerSecond(), r.bare_loop.PassesPerSecond()),
               RatioToFloor(r.idle.CpuNsPerPass(), r.bare_loop.CpuNsPerPass()));
  std::fprintf(out, "  %-34s %8.3fx %11.3fx\n", "  ratio to select+recv+sendto",
               RatioToFloor(r.idle.PassesPerSecond(), r.syscall_loop.PassesPerSecond()),
               RatioToFloor(r.idle.CpuNsPerPass(), r.syscall_loop.CpuNsPerPass()));
}

void PrintMemory(std::FILE* out, const BenchResults& r) {
  const AllocationFigures& a = r.allocations;
  std::fprintf(out, "\nMemory\n  peak RSS (VmHWM) of the bridge      %ld KiB\n", r.peak_rss_kib);
  if (!a.measured) {
    std::fprintf(out, "  heap allocations per pass           not measured\n");
    return;
  }
  std::fprintf(out,
               "  heap allocations per pass           %.4f  (%llu in %llu passes, then %llu in "
               "%llu passes)\n",
               a.PerPass(), static_cast<unsigned long long>(a.allocations_first),
               static_cast<unsigned long long>(a.passes_first),
               static_cast<unsigned long long>(a.allocations_second),
               static_cast<unsigned long long>(a.passes_second));
  std::fprintf(out, "  ... while receiving commands        %llu in %llu passes\n",
               static_cast<unsigned long long>(a.command_allocations),
               static_cast<unsigned long long>(a.command_passes));
  std::fprintf(out, "  ... during start-up (for contrast)  %llu\n",
               static_cast<unsigned long long>(a.startup_allocations));
}

void PrintTargets(std::FILE* out, const std::vector<TargetVerdict>& verdicts) {
  std::fprintf(out, "\nTargets\n");
  for (const TargetVerdict& v : verdicts) {
    const char* mark = !v.judged ? "n/a    " : v.met ? "met    " : "NOT MET";
    std::fprintf(out, "  [%s] %-50s %14s   limit %s\n", mark, v.name.c_str(), v.measured.c_str(),
                 v.limit.c_str());
  }
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
  PrintLatencies(out, r);
  PrintLoop(out, r);
  PrintMemory(out, r);
  PrintTargets(out, verdicts);
  for (const std::string& note : r.notes) std::fprintf(out, "note: %s\n", note.c_str());
}

}  // namespace skyhelm::bench
