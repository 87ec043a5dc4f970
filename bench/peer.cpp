// The bridge's UDP peer.
#include "bench/peer.h"

#include <sys/socket.h>

#include <chrono>
#include <string>

#include "bench/clock.h"

namespace skyhelm::bench {
namespace {

constexpr std::chrono::milliseconds kReaderWait(100);  // how often the reader looks at the flag
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;   // room for bursts of lines

}  // namespace

Peer::~Peer() { StopReading(); }

void Peer::StopReading() {
  stop_.store(true);
  if (reader_.joinable()) reader_.join();
}

bool Peer::Connect(std::uint16_t bridge_port, DatagramHandler on_datagram) {
  socket_.emplace(bridge_port);
  setsockopt(socket_->socket(), SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes,
             sizeof kReceiveBufferBytes);
  if (!socket_->Join()) return false;
  reader_ = std::thread(&Peer::ReadLoop, this, std::move(on_datagram));
  return true;
}

std::int64_t Peer::Send(std::string_view datagram) {
  const std::string bytes(datagram);
  const std::int64_t sent_ns = NowNs();
  socket_->Send(bytes);
  return sent_ns;
}

void Peer::ReadLoop(DatagramHandler on_datagram) {
  while (!stop_.load(std::memory_order_relaxed)) {
    const std::optional<std::string> datagram = socket_->Receive(kReaderWait);
    if (!datagram) continue;
    const std::int64_t received_ns = NowNs();
    received_.fetch_add(1, std::memory_order_relaxed);
    if (on_datagram) on_datagram(*datagram, received_ns);
  }
}

}  // namespace skyhelm::bench
