// The measurements of the real bridge: command latency, idle loop cost, peak memory, heap
// allocations per pass and telemetry freshness. The stand-in simulator's server runs in-process,
// the bridge as a child with the bench as its UDP peer.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <optional>

#include "bench/alloc_counters.h"
#include "bench/bench.h"
#include "platform/simconnect/wire_protocol.h"
#include "sim/telemetry.h"
#include "sim/telemetry_schema.h"
#include "simulator/server.h"

namespace skyhelm::bench {
namespace {

// Called on the server's thread for each client event it applies ("event NAME DATA"), with the
// monotonic time at which the server reported it.
using EventHandler =
    std::function<void(std::string_view name, std::int64_t data, std::int64_t logged_ns)>;

// The stand-in simulator's server on a thread of the bench, so that the arrival of each client
// event is stamped where it happens; the aircraft frozen (events take effect at once, nothing else
// moves).
class SimHost {
 public:
  ~SimHost() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
  }

  // Serves on 127.0.0.1 on a free port, producing frames at rate_hz. False with the reason in
  // `error`.
  bool Start(double rate_hz, EventHandler on_event, std::string& error) {
    simulator::ServerOptions options;
    options.port = 0;
    options.rate_hz = rate_hz;
    simulator::World world;
    world.frozen = true;
    simulator::ServerLog log;
    log.out = [handler = std::move(on_event)](const std::string& line) {
      const std::int64_t logged_ns = NowNs();
      const std::size_t space = line.find(' ', 6);
      if (!handler || line.rfind("event ", 0) != 0 || space == std::string::npos) return;
      handler(std::string_view(line).substr(6, space - 6),
              std::strtoll(line.c_str() + space + 1, nullptr, 10), logged_ns);
    };
    server_ = std::make_unique<simulator::Server>(options, world, std::move(log));
    if (!server_->Listen(error)) return false;
    thread_ = std::thread([this] { server_->Run(stop_); });
    return true;
  }
  std::uint16_t port() const { return server_->port(); }

 private:
  std::unique_ptr<simulator::Server> server_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// Called on the peer's reader thread for each datagram, with the time its receive returned.
using DatagramHandler = std::function<void(std::string_view datagram, std::int64_t received_ns)>;

// A bridge process with the bench as its UDP peer, stopped with SIGTERM (SIGKILL after a second)
// when this goes.
class Bridge {
 public:
  ~Bridge() {
    StopReading();
    if (!process_) return;
    process_->Signal(SIGTERM);
    process_->Wait(std::chrono::seconds(1));  // then the process's destructor kills it if need be
  }

  // Starts `path` on a free UDP port with SKYHELM_SIM_ADDRESS pointing at 127.0.0.1:sim_port (plus
  // `env`), waits until it has written "Running..." (its loop has started; its standard error, an
  // acknowledgement per command, goes to /dev/null) and becomes its peer (LoopbackPeer::Join).
  // From then on a reader thread counts every datagram and hands it to on_datagram (if given).
  // False, with the reason appended to `notes`, when either step fails within ten seconds.
  bool Start(const std::string& path, int sim_port, std::vector<std::string> env,
             DatagramHandler on_datagram, std::vector<std::string>& notes) {
    const int udp_port = test_support::FreeLoopbackPort(true);
    env.push_back("SKYHELM_SIM_ADDRESS=127.0.0.1:" + std::to_string(sim_port));
    process_ = ChildProcess::Start(path, {std::to_string(udp_port)}, env,
                                   test_support::StderrMode::kDiscarded);
    if (!process_) {
      notes.push_back("cannot start " + path);
      return false;
    }
    if (!process_->WaitForStdout("Running...\n", test_support::kPatience)) {
      notes.push_back(path + " did not reach its loop (no \"Running...\") within 10 s");
      return false;
    }
    peer_.emplace(udp_port);
    const int buffer_bytes = 4 * 1024 * 1024;  // room for bursts of lines
    setsockopt(peer_->socket(), SOL_SOCKET, SO_RCVBUF, &buffer_bytes, sizeof buffer_bytes);
    if (!peer_->Join()) {
      notes.push_back("the bridge sent no line back to the peer within 10 s");
      return false;
    }
    reader_ = std::thread([this, handler = std::move(on_datagram)] {
      while (!stop_.load(std::memory_order_relaxed)) {
        const std::optional<std::string> datagram = peer_->Receive(std::chrono::milliseconds(100));
        if (!datagram) continue;
        const std::int64_t received_ns = NowNs();
        received_.fetch_add(1, std::memory_order_relaxed);
        if (handler) handler(*datagram, received_ns);
      }
    });
    return true;
  }
  void Send(const std::string& datagram) const { peer_->Send(datagram); }
  // Stops and joins the reader thread (the socket stays open); idempotent.
  void StopReading() {
    stop_.store(true);
    if (reader_.joinable()) reader_.join();
  }
  // Datagrams received so far (one per bridge loop pass).
  std::uint64_t received() const { return received_.load(std::memory_order_relaxed); }
  pid_t pid() const { return process_->pid(); }

 private:
  std::unique_ptr<ChildProcess> process_;
  std::optional<test_support::LoopbackPeer> peer_;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> received_{0};
  std::thread reader_;
};

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
  bool SendAndWait(const Bridge& bridge, std::size_t index) {
    const std::string datagram = HeadingCommand(index);
    sent_ns_[index].store(NowNs(), std::memory_order_release);
    bridge.Send(datagram);
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
  Bridge bridge;
  if (!bridge.Start(options.bridge_path, simulator.port(), {}, nullptr, results.notes)) return;
  {
    Progress progress("command latency", options.command_samples, options.progress);
    Pacer pacer(3);
    std::size_t lost = 0;
    for (std::size_t i = 0; i < options.command_samples; ++i) {
      pacer.Wait();
      if (!tracker.SendAndWait(bridge, i)) ++lost;
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
        bridge.pid(), [&bridge] { return bridge.received(); }, window_s));
  }
  results.peak_rss_kib = PeakRssKib(bridge.pid());
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
  Bridge bridge;
  const std::vector<std::string> env = {
      "LD_PRELOAD=" + options.preload_path,
      std::string(kAllocCountFileVariable) + "=" + counters.path()};
  if (!bridge.Start(options.bridge_path, simulator.port(), env, nullptr, results.notes)) return;
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
      bridge.Send(HeadingCommand(i));
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

// Telemetry freshness runs the bridge behind a loopback TCP relay that stamps each telemetry frame.
// It takes the simulator's place on the bridge's side: the bridge connects to the relay, the relay
// to the simulator, and requests pass through unchanged. Each data message for the telemetry
// request gets the relay's frame number (1, 2, ...) written into its "Plane Altitude" value, and
// the time just before it is written to the bridge is kept, so that the first line at the peer
// carrying that altitude tells how old the frame is. The relay's own hop replaces the simulator's
// send, not adds to it: the stamp is taken where the simulator would write.
constexpr int kPollMs = 50;
// "Plane Altitude" in a data message of the telemetry request: the message's header, then the
// record.
constexpr std::size_t kAltitudeOffset =
    kTelemetryMessageBytes - kTelemetryRecordBytes + kTelemetryFields[1].record_offset;
static_assert(std::string_view(kTelemetryDefinitionEntries[2].datum_name) == "Plane Altitude");

bool SendAll(int fd, const void* data, std::size_t size) {
  return send(fd, data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

// The line's second value ("Plane Altitude"), where the relay puts the frame number; -1 when the
// datagram is no telemetry line.
std::int64_t FrameNumber(std::string_view line) {
  const std::size_t first = line.find(',');
  if (first == std::string_view::npos || line.substr(0, first) != "v1.2") return -1;
  const std::size_t second = line.find(',', first + 1);
  if (second == std::string_view::npos) return -1;
  std::int64_t number = 0;
  for (std::size_t i = second + 1; i < line.size() && line[i] != ','; ++i) {
    if (line[i] < '0' || line[i] > '9') return -1;
    number = number * 10 + (line[i] - '0');
  }
  return number;
}

class FrameRelay {
 public:
  // Room for max_frames stamps; later frames are forwarded unstamped (altitude unchanged).
  explicit FrameRelay(std::size_t max_frames)
      : max_frames_(max_frames),
        stamps_ns_(new std::atomic<std::int64_t>[max_frames + 1]()),
        first_seen_(max_frames + 1) {}
  ~FrameRelay() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    if (listen_fd_ >= 0) close(listen_fd_);
  }

  // Listens on 127.0.0.1 (a free port) and relays the first connection to
  // 127.0.0.1:simulator_port. False when it cannot listen.
  bool Start(std::uint16_t simulator_port) {
    sockaddr_in address{};
    listen_fd_ = test_support::ListenOnLoopback(1, address);
    if (listen_fd_ < 0) return false;
    port_ = ntohs(address.sin_port);
    thread_ = std::thread(&FrameRelay::Run, this, simulator_port);
    return true;
  }
  std::uint16_t port() const { return port_; }

  // On the peer's reader thread only (the main thread reads `seen`, and the rest once the reader
  // has stopped): the first line that carries each frame stamped after start_ns.
  void OnLine(std::string_view line, std::int64_t received_ns) {
    const std::int64_t number = FrameNumber(line);
    if (number < 1 || static_cast<std::size_t>(number) > max_frames_) return;
    const auto index = static_cast<std::size_t>(number);
    const std::int64_t stamp_ns = stamps_ns_[index].load(std::memory_order_acquire);
    if (first_seen_[index] || stamp_ns < start_ns.load(std::memory_order_relaxed)) return;
    first_seen_[index] = true;
    latencies_ns.push_back(received_ns - stamp_ns);
    if (lowest < 0) lowest = number;
    highest = number;
    seen.store(latencies_ns.size(), std::memory_order_relaxed);
  }

  // Frames stamped before the peer was known are left out; nothing counts until this is set.
  std::atomic<std::int64_t> start_ns{INT64_MAX};
  std::atomic<std::size_t> seen{0};
  std::vector<std::int64_t> latencies_ns;
  std::int64_t lowest = -1, highest = -1;

 private:
  void Run(std::uint16_t simulator_port) {
    pollfd listener{listen_fd_, POLLIN, 0};
    while (!stop_.load() && poll(&listener, 1, kPollMs) <= 0) {
    }
    const int bridge_fd = stop_.load() ? -1 : LoopbackTcp(0, listen_fd_);
    const int simulator_fd = bridge_fd >= 0 ? LoopbackTcp(simulator_port) : -1;
    pollfd entries[2] = {{bridge_fd, POLLIN, 0}, {simulator_fd, POLLIN, 0}};
    std::uint8_t chunk[16384];
    while (simulator_fd >= 0 && !stop_.load()) {
      if (poll(entries, 2, kPollMs) <= 0) continue;
      if (entries[0].revents != 0) {
        const ssize_t n = read(bridge_fd, chunk, sizeof chunk);
        if (n <= 0 || !SendAll(simulator_fd, chunk, static_cast<std::size_t>(n))) break;
      }
      if (entries[1].revents != 0 && !FromSimulator(simulator_fd, bridge_fd)) break;
    }
    for (const int fd : {bridge_fd, simulator_fd}) {
      if (fd >= 0) close(fd);
    }
  }

  // Whole messages go out one by one, so that each frame is stamped just before its own write.
  bool FromSimulator(int from_fd, int to_fd) {
    const ssize_t n =
        read(from_fd, pending_.data() + pending_bytes_, pending_.size() - pending_bytes_);
    if (n <= 0) return false;
    pending_bytes_ += static_cast<std::size_t>(n);
    std::size_t start = 0;
    while (pending_bytes_ - start >= 4) {
      std::uint8_t* message = pending_.data() + start;
      const std::uint32_t size = wire::GetU32(message);
      if (size < wire::kMessageHeaderBytes || size > wire::kMaxMessageBytes)
        return false;  // not the protocol we know
      if (pending_bytes_ - start < size) break;
      const std::uint64_t number = frames_ + 1;
      if (size >= kTelemetryMessageBytes && number <= max_frames_ &&
          wire::GetU32(message + 8) == SIMCONNECT_RECV_ID_SIMOBJECT_DATA &&
          wire::GetU32(message + 12) == kTelemetryRequest) {
        const auto altitude = static_cast<std::int32_t>(number);
        std::memcpy(message + kAltitudeOffset, &altitude, sizeof altitude);
        stamps_ns_[number].store(NowNs(), std::memory_order_release);
        frames_ = number;
      }
      if (!SendAll(to_fd, message, size)) return false;
      start += size;
    }
    std::memmove(pending_.data(), pending_.data() + start, pending_bytes_ - start);
    pending_bytes_ -= start;
    return true;
  }

  std::size_t max_frames_;
  std::unique_ptr<std::atomic<std::int64_t>[]> stamps_ns_;  // 0 for a frame not (yet) stamped
  std::vector<bool> first_seen_;
  std::uint64_t frames_ = 0;  // stamped so far; the relay's thread only
  std::atomic<bool> stop_{false};
  int listen_fd_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::vector<std::uint8_t> pending_ = std::vector<std::uint8_t>(512 * 1024);  // not yet forwarded
  std::size_t pending_bytes_ = 0;
};

// Telemetry freshness, from the moment a frame leaves for the bridge to the first line carrying
// it at the peer, at options.frame_rate_hz until options.frames frames have been seen at the peer
// (or three times the time that should take, plus ten seconds).
void MeasureFreshness(const BridgeBenchOptions& options, BenchResults& results) {
  const double patience_s = 3 * static_cast<double>(options.frames) / options.frame_rate_hz + 10;
  FrameRelay relay(static_cast<std::size_t>(patience_s * options.frame_rate_hz));
  relay.latencies_ns.reserve(options.frames + 16);
  SimHost simulator;
  std::string error;
  if (!simulator.Start(options.frame_rate_hz, nullptr, error) || !relay.Start(simulator.port())) {
    results.notes.push_back("freshness not measured: the simulator or the relay did not start");
    return;
  }
  Bridge bridge;
  const auto on_line = [&relay](std::string_view line, std::int64_t ns) { relay.OnLine(line, ns); };
  if (!bridge.Start(options.bridge_path, relay.port(), {}, on_line, results.notes)) return;
  relay.start_ns.store(NowNs());
  {
    Progress progress("telemetry freshness", options.frames, options.progress);
    const std::int64_t deadline_ns = NowNs() + static_cast<std::int64_t>(patience_s * 1e9);
    while (relay.seen.load() < options.frames && NowNs() < deadline_ns) {
      SleepNs(50000000);
      progress.Update(relay.seen.load());
    }
  }
  bridge.StopReading();
  results.frame_rate_hz = options.frame_rate_hz;
  results.freshness.Set(std::move(relay.latencies_ns));
  if (relay.highest >= relay.lowest && relay.lowest > 0) {
    results.frames_lost = static_cast<std::uint64_t>(relay.highest - relay.lowest + 1) -
                          results.freshness.samples_ns.size();
  }
}

}  // namespace

void MeasureBridge(const BridgeBenchOptions& options, BenchResults& results) {
  MeasureCommandsAndIdle(options, results);
  MeasureAllocations(options, results);
  MeasureFreshness(options, results);
}

}  // namespace skyhelm::bench
