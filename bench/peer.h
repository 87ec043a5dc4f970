// The bridge's UDP peer: sends command datagrams and reads every line the bridge sends back.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <thread>

#include "tests/support/loopback_peer.h"

namespace skyhelm::bench {

// Called on the peer's reader thread for each datagram, with the time its receive returned.
using DatagramHandler = std::function<void(std::string_view datagram, std::int64_t received_ns)>;

class Peer {
 public:
  Peer() = default;
  ~Peer();  // stops the reader and closes the socket
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // Opens the tests' loopback peer socket and becomes the peer of the bridge listening on
  // bridge_port (LoopbackPeer::Join: "1" until a line comes back, ten seconds at most). From then
  // on a reader thread counts every datagram and hands it to on_datagram (if given). False when no
  // line came back.
  bool Connect(std::uint16_t bridge_port, DatagramHandler on_datagram);

  // Sends one datagram to the bridge; the time just before the send.
  std::int64_t Send(std::string_view datagram);

  // Stops and joins the reader thread (the socket stays open); idempotent.
  void StopReading();

  // Datagrams received so far (one per bridge loop pass).
  std::uint64_t received() const { return received_.load(std::memory_order_relaxed); }

 private:
  void ReadLoop(DatagramHandler on_datagram);

  std::optional<test_support::LoopbackPeer> socket_;
  std::atomic<bool> stop_{false};
  std::atomic<std::uint64_t> received_{0};
  std::thread reader_;
};

}  // namespace skyhelm::bench
