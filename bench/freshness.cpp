// Telemetry freshness, through a loopback TCP relay between the bridge and the simulator that
// stamps each telemetry frame.
//
// The relay takes the simulator's place on the bridge's side: the bridge connects to the relay,
// the relay to the simulator, and requests pass through unchanged. Each data message for the
// telemetry request gets the relay's frame number (1, 2, ...) written into its "Plane Altitude"
// value, and the time just before it is written to the bridge is kept, so that the first line at
// the peer carrying that altitude tells how old the frame is. The relay's own hop replaces the
// simulator's send, not adds to it: the stamp is taken where the simulator would write.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "bench/bench.h"

namespace skyhelm::bench {
namespace {

constexpr int kPollMs = 50;
constexpr std::size_t kPendingCapacity = 512 * 1024;
constexpr std::size_t kMaxMessageBytes = 64 * 1024;  // the wire protocol's bound
// SIMCONNECT_RECV_SIMOBJECT_DATA: dwID at 8, dwRequestID at 12, the record from 40; "Plane
// Altitude" is the record's INT32 at 260.
constexpr std::uint32_t kSimObjectDataId = 8;
constexpr std::uint32_t kTelemetryRequestId = 0;
constexpr std::size_t kAltitudeOffset = 40 + 260;
constexpr std::size_t kTelemetryMessageBytes = 40 + 340;

std::uint32_t ReadU32(const std::uint8_t* data) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = value << 8 | data[i];
  return value;
}

bool SendAll(int fd, const void* data, std::size_t size) {
  return send(fd, data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
}

class FrameRelay {
 public:
  // Room for max_frames stamps; later frames are forwarded unstamped (altitude unchanged).
  explicit FrameRelay(std::size_t max_frames)
      : max_frames_(max_frames),
        stamps_ns_(new std::atomic<std::int64_t>[max_frames + 1]),
        pending_(new std::uint8_t[kPendingCapacity]) {
    for (std::size_t i = 0; i <= max_frames_; ++i) stamps_ns_[i].store(-1);
  }
  ~FrameRelay() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    if (listen_fd_ >= 0) close(listen_fd_);
  }
  FrameRelay(const FrameRelay&) = delete;
  FrameRelay& operator=(const FrameRelay&) = delete;

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

  // When frame `number` was written to the bridge; -1 for a frame not (yet) stamped.
  std::int64_t StampNs(std::int64_t number) const {
    if (number < 1 || static_cast<std::uint64_t>(number) > max_frames_) return -1;
    return stamps_ns_[static_cast<std::size_t>(number)].load(std::memory_order_acquire);
  }

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
    if (bridge_fd >= 0) close(bridge_fd);
    if (simulator_fd >= 0) close(simulator_fd);
  }

  // Whole messages go out one by one, so that each frame is stamped just before its own write.
  bool FromSimulator(int from_fd, int to_fd) {
    const ssize_t n =
        read(from_fd, pending_.get() + pending_bytes_, kPendingCapacity - pending_bytes_);
    if (n <= 0) return false;
    pending_bytes_ += static_cast<std::size_t>(n);
    std::size_t start = 0;
    while (pending_bytes_ - start >= 4) {
      std::uint8_t* message = pending_.get() + start;
      const std::uint32_t size = ReadU32(message);
      if (size < 12 || size > kMaxMessageBytes) return false;  // not the protocol we know
      if (pending_bytes_ - start < size) break;
      const std::uint64_t number = frames_ + 1;
      const bool stamp = size >= kTelemetryMessageBytes && number <= max_frames_ &&
                         ReadU32(message + 8) == kSimObjectDataId &&
                         ReadU32(message + 12) == kTelemetryRequestId;
      if (stamp) {
        const auto bits = static_cast<std::uint32_t>(number);
        for (int i = 0; i < 4; ++i) {
          message[kAltitudeOffset + static_cast<std::size_t>(i)] =
              static_cast<std::uint8_t>(bits >> (8 * i));
        }
        stamps_ns_[number].store(NowNs(), std::memory_order_release);
        frames_ = number;
      }
      if (!SendAll(to_fd, message, size)) return false;
      start += size;
    }
    std::memmove(pending_.get(), pending_.get() + start, pending_bytes_ - start);
    pending_bytes_ -= start;
    return true;
  }

  std::size_t max_frames_;
  std::unique_ptr<std::atomic<std::int64_t>[]> stamps_ns_;
  std::uint64_t frames_ = 0;  // stamped so far; the relay's thread only
  std::atomic<bool> stop_{false};
  int listen_fd_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  std::unique_ptr<std::uint8_t[]> pending_;  // bytes from the simulator not yet forwarded
  std::size_t pending_bytes_ = 0;
};

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

// Runs on the peer's reader thread only; the main thread reads `seen` and, after the peer has
// stopped, everything else.
struct FrameWatcher {
  const FrameRelay* relay = nullptr;
  // Frames stamped before the peer was known are left out; nothing counts until it is set.
  std::atomic<std::int64_t> start_ns{INT64_MAX};
  std::vector<bool> first_seen;
  std::vector<std::int64_t> latencies_ns;
  std::int64_t lowest = -1;
  std::int64_t highest = -1;
  std::atomic<std::size_t> seen{0};

  void OnLine(std::string_view line, std::int64_t received_ns) {
    const std::int64_t number = FrameNumber(line);
    if (number < 1 || static_cast<std::size_t>(number) >= first_seen.size()) return;
    if (first_seen[static_cast<std::size_t>(number)]) return;
    const std::int64_t stamp_ns = relay->StampNs(number);
    if (stamp_ns < start_ns.load(std::memory_order_relaxed)) return;
    first_seen[static_cast<std::size_t>(number)] = true;
    latencies_ns.push_back(received_ns - stamp_ns);
    if (lowest < 0) lowest = number;
    highest = number;
    seen.store(latencies_ns.size(), std::memory_order_relaxed);
  }
};

}  // namespace

void MeasureFreshness(const BridgeBenchOptions& options, BenchResults& results) {
  const double patience_s = 3 * static_cast<double>(options.frames) / options.frame_rate_hz + 10;
  const auto max_frames = static_cast<std::size_t>(patience_s * options.frame_rate_hz);
  FrameRelay relay(max_frames);
  SimHost simulator;
  std::string error;
  if (!simulator.Start(options.frame_rate_hz, nullptr, error) || !relay.Start(simulator.port())) {
    results.notes.push_back("freshness not measured: the simulator or the relay did not start");
    return;
  }
  FrameWatcher watcher;
  watcher.relay = &relay;
  watcher.first_seen.assign(max_frames + 1, false);
  watcher.latencies_ns.reserve(options.frames + 16);
  BridgeUnderTest bridge;
  const auto on_line = [&watcher](std::string_view line, std::int64_t ns) {
    watcher.OnLine(line, ns);
  };
  if (!StartWithPeer(options.bridge_path, relay.port(), {}, on_line, bridge, results.notes)) return;
  watcher.start_ns.store(NowNs());
  {
    Progress progress("telemetry freshness", options.frames, options.progress);
    const std::int64_t deadline_ns = NowNs() + static_cast<std::int64_t>(patience_s * 1e9);
    while (watcher.seen.load() < options.frames && NowNs() < deadline_ns) {
      SleepNs(50000000);
      progress.Update(watcher.seen.load());
    }
  }
  bridge.peer.StopReading();
  results.frame_rate_hz = options.frame_rate_hz;
  results.freshness.Set(std::move(watcher.latencies_ns));
  if (watcher.highest >= watcher.lowest && watcher.lowest > 0) {
    results.frames_lost = static_cast<std::uint64_t>(watcher.highest - watcher.lowest + 1) -
                          results.freshness.samples_ns.size();
  }
}

}  // namespace skyhelm::bench
