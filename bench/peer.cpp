// The bridge's UDP peer.
#include "bench/peer.h"

#include <sys/socket.h>
#include <unistd.h>

#include "bench/clock.h"
#include "bench/loopback.h"

namespace skyhelm::bench {
namespace {

constexpr int kReaderTimeoutMs = 100;  // how often the reader looks at the stop flag
constexpr int kConnectRetryMs = 50;

}  // namespace

Peer::~Peer() {
  StopReading();
  if (fd_ >= 0) close(fd_);
}

void Peer::StopReading() {
  stop_.store(true);
  if (reader_.joinable()) reader_.join();
}

bool Peer::Connect(std::uint16_t bridge_port, int timeout_ms, DatagramHandler on_datagram) {
  std::uint16_t own_port = 0;
  fd_ = OpenUdpLoopback(&own_port, kConnectRetryMs);
  if (fd_ < 0) return false;
  bridge_port_ = bridge_port;
  const std::int64_t deadline_ns = NowNs() + static_cast<std::int64_t>(timeout_ms) * 1000000;
  char line[2048];
  bool answered = false;
  while (!answered && NowNs() < deadline_ns) {
    Send("1");
    answered = recv(fd_, line, sizeof line, 0) >= 0;
  }
  if (!answered) return false;
  SetReceiveTimeout(fd_, kReaderTimeoutMs);
  reader_ = std::thread(&Peer::ReadLoop, this, std::move(on_datagram));
  return true;
}

std::int64_t Peer::Send(std::string_view datagram) {
  const sockaddr_in bridge = LoopbackAddress(bridge_port_);
  const std::int64_t sent_ns = NowNs();
  sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&bridge),
         sizeof bridge);
  return sent_ns;
}

void Peer::ReadLoop(DatagramHandler on_datagram) {
  char datagram[2048];
  while (!stop_.load(std::memory_order_relaxed)) {
    const ssize_t n = recv(fd_, datagram, sizeof datagram, 0);
    if (n < 0) continue;
    const std::int64_t received_ns = NowNs();
    received_.fetch_add(1, std::memory_order_relaxed);
    if (on_datagram) {
      on_datagram(std::string_view(datagram, static_cast<std::size_t>(n)), received_ns);
    }
  }
}

}  // namespace skyhelm::bench
