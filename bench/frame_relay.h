// A loopback TCP relay between the bridge and the simulator that stamps each telemetry frame.
//
// It takes the simulator's place on the bridge's side: the bridge connects to the relay, the
// relay to the simulator, and requests pass through unchanged. Each data message for the
// telemetry request gets the relay's frame number (1, 2, ...) written into its "Plane Altitude"
// value, and the time just before it is written to the bridge is kept, so that the first line at
// the peer carrying that altitude tells how old the frame is. The relay's own hop replaces the
// simulator's send, not adds to it: the stamp is taken where the simulator would write.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>

namespace skyhelm::bench {

class FrameRelay {
 public:
  // Room for max_frames stamps; later frames are forwarded unstamped (altitude unchanged).
  explicit FrameRelay(std::size_t max_frames);
  ~FrameRelay();  // stops the relay thread and closes both connections
  FrameRelay(const FrameRelay&) = delete;
  FrameRelay& operator=(const FrameRelay&) = delete;

  // Listens on 127.0.0.1 (a free port) and relays the first connection to
  // 127.0.0.1:simulator_port. False when it cannot listen.
  bool Start(std::uint16_t simulator_port);
  std::uint16_t port() const { return port_; }

  // Frames stamped so far.
  std::uint64_t frames() const { return frames_.load(std::memory_order_acquire); }
  // When frame `number` was written to the bridge; -1 for a frame not (yet) stamped.
  std::int64_t StampNs(std::int64_t number) const;

 private:
  void Run();
  bool Pump(int from_fd, int to_fd, bool from_simulator);
  void StampFrames(std::uint8_t* data, std::size_t size);

  std::size_t max_frames_;
  std::unique_ptr<std::atomic<std::int64_t>[]> stamps_ns_;
  std::atomic<std::uint64_t> frames_{0};
  std::atomic<bool> stop_{false};
  int listen_fd_ = -1;
  std::uint16_t port_ = 0;
  std::uint16_t simulator_port_ = 0;
  std::thread thread_;
  // Bytes from the simulator not yet forwarded: whole messages go out one by one, so that each
  // frame is stamped just before its own write.
  std::unique_ptr<std::uint8_t[]> pending_;
  std::size_t pending_bytes_ = 0;
};

}  // namespace skyhelm::bench
