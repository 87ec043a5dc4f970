// The measurements of the real bridge: command latency, idle loop cost, peak memory and heap
// allocations per pass.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "bench/alloc_counters.h"
#include "bench/bench.h"

namespace skyhelm::bench {
namespace {

constexpr std::int64_t kFirstHeading = 1000;  // "h1000", "h1001", ...: a fresh value each time
constexpr std::int64_t kSettleNs = 500000000;
constexpr int kLoopRounds = 3;
constexpr std::size_t kLineBytes = 200;  // a typical telemetry line with its "\r\n"

std::string HeadingCommand(std::size_t index) {
  return "h" + std::to_string(kFirstHeading + static_cast<std::int64_t>(index));
}

// Heading-bug events seen at the simulator, matched to the peer's send stamps by their value.
class CommandTracker {
 public:
  explicit CommandTracker(std::size_t samples)
      : sent_ns_(new std::atomic<std::int64_t>[samples]), samples_(samples) {
    for (std::size_t i = 0; i < samples; ++i) sent_ns_[i].store(-1);
    latencies_ns_.reserve(samples);
  }

  void OnEvent(std::string_view name, std::int64_t data, std::int64_t logged_ns) {
    if (name != "HEADING_BUG_SET" || data < kFirstHeading) return;
    const auto index = static_cast<std::size_t>(data - kFirstHeading);
    if (index >= samples_) return;
    const std::int64_t sent_ns = sent_ns_[index].load(std::memory_order_acquire);
    if (sent_ns < 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    latencies_ns_.push_back(logged_ns - sent_ns);
    arrived_ = index;
    changed_.notify_all();
  }

  // Sends command `index` and waits (a second at most) for its event; false when it never came.
  bool SendAndWait(const Peer& peer, std::size_t index) {
    const std::string datagram = HeadingCommand(index);
    sent_ns_[index].store(NowNs(), std::memory_order_release);
    peer.Send(datagram);
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(1), [&] { return arrived_ == index; });
  }

  std::vector<std::int64_t> TakeLatencies() {
    std::lock_guard<std::mutex> lock(mutex_);
    return std::move(latencies_ns_);
  }

 private:
  std::unique_ptr<std::atomic<std::int64_t>[]> sent_ns_;
  std::size_t samples_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t arrived_ = static_cast<std::size_t>(-1);
  std::vector<std::int64_t> latencies_ns_;
};

// Command latency, then the idle loop cost and peak memory of the same bridge. The loop floors
// and the idle bridge take turns, so that a change in the machine's load during the run falls on
// both alike.
void MeasureCommandsAndIdle(const BridgeBenchOptions& options, BenchResults& results) {
  CommandTracker tracker(options.command_samples);
  SimHost simulator;
  std::string error;
  const auto on_event = [&tracker](std::string_view name, std::int64_t data, std::int64_t ns) {
    tracker.OnEvent(name, data, ns);
  };
  if (!simulator.Start(options.idle_frame_rate_hz, on_event, error)) {
    results.notes.push_back("the simulator did not start: " + error);
    return;
  }
  BridgeUnderTest bridge;
  if (!StartWithPeer(options.bridge_path, simulator.port(), {}, nullptr, bridge, results.notes))
    return;
  {
    Progress progress("command latency", options.command_samples, options.progress);
    Pacer pacer(3);
    std::size_t lost = 0;
    for (std::size_t i = 0; i < options.command_samples; ++i) {
      pacer.Wait();
      if (!tracker.SendAndWait(bridge.peer, i)) ++lost;
      progress.Update(i + 1);
    }
    results.command.Set(tracker.TakeLatencies());
    if (lost > 0) {
      results.notes.push_back(std::to_string(lost) +
                              " commands reached the simulator late (> 1 s) or never");
    }
  }

  SleepNs(kSettleNs);
  const double window_s = options.loop_seconds / kLoopRounds;
  if (options.progress) {
    std::fprintf(stderr, "  idle bridge and loop floors, %d x %.1f s each\n", kLoopRounds,
                 window_s);
  }
  for (int round = 0; round < kLoopRounds; ++round) {
    results.bare_loop.Add(MeasureBareSelectLoop(window_s));
    results.syscall_loop.Add(MeasureSyscallLoop(window_s, kLineBytes));
    results.idle.Add(WatchLoop(
        bridge.process->pid(), [&bridge] { return bridge.peer.received(); }, window_s));
  }
  results.peak_rss_kib = PeakRssKib(bridge.process->pid());
}

// The preload library's counters, in a file that the bridge maps too.
class SharedCounters {
 public:
  SharedCounters() {
    char path[] = "/tmp/skyhelm-bench-allocs-XXXXXX";
    const int fd = mkstemp(path);
    if (fd < 0) return;
    path_ = path;
    if (ftruncate(fd, sizeof(AllocCounters)) == 0) {
      void* memory =
          mmap(nullptr, sizeof(AllocCounters), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
      if (memory != MAP_FAILED) counters_ = static_cast<AllocCounters*>(memory);
    }
    close(fd);
  }
  ~SharedCounters() {
    if (counters_ != nullptr) munmap(counters_, sizeof(AllocCounters));
    if (!path_.empty()) unlink(path_.c_str());
  }
  bool ok() const { return counters_ != nullptr; }
  const std::string& path() const { return path_; }
  std::uint64_t allocations() const { return counters_->allocations.load(); }

  // Allocations and passes while `during` runs.
  template <typename During>
  void Count(std::uint64_t& allocations, std::uint64_t& passes, During during) const {
    const std::uint64_t start_allocations = counters_->allocations.load();
    const std::uint64_t start_passes = counters_->datagram_sends.load();
    during();
    allocations = counters_->allocations.load() - start_allocations;
    passes = counters_->datagram_sends.load() - start_passes;
  }

 private:
  std::string path_;
  AllocCounters* counters_ = nullptr;
};

// Heap allocations per pass, counted by the preload library in a second bridge process: two idle
// windows (the second twice as long), then one with a command every few passes.
void MeasureAllocations(const BridgeBenchOptions& options, BenchResults& results) {
  SharedCounters counters;
  if (!counters.ok() || access(options.preload_path.c_str(), R_OK) != 0) {
    results.notes.push_back("heap allocations not counted: no " + options.preload_path);
    return;
  }
  SimHost simulator;
  std::string error;
  if (!simulator.Start(options.idle_frame_rate_hz, nullptr, error)) return;
  BridgeUnderTest bridge;
  const std::vector<std::string> env = {
      "LD_PRELOAD=" + options.preload_path,
      std::string(kAllocCountFileVariable) + "=" + counters.path()};
  if (!StartWithPeer(options.bridge_path, simulator.port(), env, nullptr, bridge, results.notes))
    return;
  if (options.progress) std::fprintf(stderr, "  heap allocations per pass\n");
  SleepNs(kSettleNs);
  AllocationFigures& figures = results.allocations;
  figures.startup_allocations = counters.allocations();
  const auto sleep_s = [](double seconds) {
    return [seconds] { SleepNs(static_cast<std::int64_t>(seconds * 1e9)); };
  };
  counters.Count(figures.allocations_first, figures.passes_first,
                 sleep_s(options.loop_seconds / 3));
  counters.Count(figures.allocations_second, figures.passes_second,
                 sleep_s(options.loop_seconds * 2 / 3));
  counters.Count(figures.command_allocations, figures.command_passes, [&] {
    Pacer pacer(4);
    for (std::size_t i = 0; i < options.allocation_commands; ++i) {
      pacer.Wait();
      bridge.peer.Send(HeadingCommand(i));
    }
    SleepNs(kSettleNs / 5);
  });
  // Start-up always allocates (the client library's buffers, stdio): a counter that saw nothing
  // there was not loaded, and its zero per pass would mean nothing.
  figures.measured =
      figures.startup_allocations > 0 && figures.passes_first > 0 && figures.passes_second > 0;
  if (!figures.measured) {
    results.notes.push_back(
        "heap allocations not counted: the preload library saw no start-up allocations or no "
        "passes");
  }
}

}  // namespace

void MeasureBridge(const BridgeBenchOptions& options, BenchResults& results) {
  MeasureCommandsAndIdle(options, results);
  MeasureAllocations(options, results);
  MeasureFreshness(options, results);
}

}  // namespace skyhelm::bench
