// The frame-stamping relay between the bridge and the simulator.
#include "bench/frame_relay.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "bench/clock.h"
#include "bench/loopback.h"

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
  return static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
         static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
}

void WriteI32(std::uint8_t* data, std::int32_t value) {
  const auto bits = static_cast<std::uint32_t>(value);
  for (int i = 0; i < 4; ++i) data[i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

int AcceptOne(int listener, const std::atomic<bool>& stop) {
  pollfd entry{listener, POLLIN, 0};
  while (!stop.load()) {
    if (poll(&entry, 1, kPollMs) > 0) return AcceptTcp(listener);
  }
  return -1;
}

}  // namespace

FrameRelay::FrameRelay(std::size_t max_frames)
    : max_frames_(max_frames),
      stamps_ns_(new std::atomic<std::int64_t>[max_frames + 1]),
      pending_(new std::uint8_t[kPendingCapacity]) {
  for (std::size_t i = 0; i <= max_frames_; ++i) stamps_ns_[i].store(-1);
}

FrameRelay::~FrameRelay() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  if (listen_fd_ >= 0) close(listen_fd_);
}

bool FrameRelay::Start(std::uint16_t simulator_port) {
  simulator_port_ = simulator_port;
  listen_fd_ = ListenTcpLoopback(&port_);
  if (listen_fd_ < 0) return false;
  thread_ = std::thread(&FrameRelay::Run, this);
  return true;
}

std::int64_t FrameRelay::StampNs(std::int64_t number) const {
  if (number < 1 || static_cast<std::uint64_t>(number) > max_frames_) return -1;
  return stamps_ns_[static_cast<std::size_t>(number)].load(std::memory_order_acquire);
}

void FrameRelay::Run() {
  const int bridge_fd = AcceptOne(listen_fd_, stop_);
  const int simulator_fd = bridge_fd >= 0 ? ConnectTcpLoopback(simulator_port_) : -1;
  pollfd entries[2] = {{bridge_fd, POLLIN, 0}, {simulator_fd, POLLIN, 0}};
  while (simulator_fd >= 0 && !stop_.load()) {
    if (poll(entries, 2, kPollMs) <= 0) continue;
    if (entries[0].revents != 0 && !Pump(bridge_fd, simulator_fd, false)) break;
    if (entries[1].revents != 0 && !Pump(simulator_fd, bridge_fd, true)) break;
  }
  if (bridge_fd >= 0) close(bridge_fd);
  if (simulator_fd >= 0) close(simulator_fd);
}

bool FrameRelay::Pump(int from_fd, int to_fd, bool from_simulator) {
  if (!from_simulator) {
    std::uint8_t chunk[16384];
    const ssize_t n = read(from_fd, chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) return true;
    return n > 0 && WriteExactly(to_fd, chunk, static_cast<std::size_t>(n));
  }
  const ssize_t n =
      read(from_fd, pending_.get() + pending_bytes_, kPendingCapacity - pending_bytes_);
  if (n < 0 && errno == EINTR) return true;
  if (n <= 0) return false;
  pending_bytes_ += static_cast<std::size_t>(n);
  std::size_t start = 0;
  while (pending_bytes_ - start >= 4) {
    std::uint8_t* message = pending_.get() + start;
    const std::uint32_t size = ReadU32(message);
    if (size < 12 || size > kMaxMessageBytes) return false;  // not the protocol we know
    if (pending_bytes_ - start < size) break;
    StampFrames(message, size);
    if (!WriteExactly(to_fd, message, size)) return false;
    start += size;
  }
  std::memmove(pending_.get(), pending_.get() + start, pending_bytes_ - start);
  pending_bytes_ -= start;
  return true;
}

void FrameRelay::StampFrames(std::uint8_t* data, std::size_t size) {
  if (size < kTelemetryMessageBytes || ReadU32(data + 8) != kSimObjectDataId ||
      ReadU32(data + 12) != kTelemetryRequestId) {
    return;
  }
  const std::uint64_t number = frames_.load(std::memory_order_relaxed) + 1;
  if (number > max_frames_) return;
  WriteI32(data + kAltitudeOffset, static_cast<std::int32_t>(number));
  stamps_ns_[number].store(NowNs(), std::memory_order_release);
  frames_.store(number, std::memory_order_release);
}

}  // namespace skyhelm::bench
