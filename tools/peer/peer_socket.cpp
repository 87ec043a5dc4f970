// POSIX implementation of the peer's UDP socket and endpoint parsing.
#include "tools/peer/peer_socket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace skyhelm::peer {
namespace {

// Larger than any datagram the bridge sends (1024 bytes), so an oversized one shows as such.
constexpr std::size_t kReceiveCapacity = 2048;
// Room for a burst: the bridge sends a line on every pass of its loop.
constexpr int kReceiveBufferBytes = 1 << 20;

bool ParsePort(std::string_view text, std::uint16_t& port) {
  if (text.empty() || text.size() > 5) return false;
  unsigned value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535) return false;
  port = static_cast<std::uint16_t>(value);
  return true;
}

bool ResolveHost(const std::string& host, in_addr& address) {
  if (inet_pton(AF_INET, host.c_str(), &address) == 1) return true;
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_DGRAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) return false;
  address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

// The kernel stamps with the wall clock; the tools measure with the steady one. Converted by the
// age of the stamp, which a wall-clock step can only make look younger (never in the future).
std::chrono::steady_clock::time_point ArrivalTime(msghdr& message) {
  const auto now = std::chrono::steady_clock::now();
  for (cmsghdr* part = CMSG_FIRSTHDR(&message); part != nullptr;
       part = CMSG_NXTHDR(&message, part)) {
    if (part->cmsg_level != SOL_SOCKET || part->cmsg_type != SCM_TIMESTAMP) continue;
    timeval stamp;
    std::memcpy(&stamp, CMSG_DATA(part), sizeof stamp);
    const auto stamped = std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(
            std::chrono::seconds(stamp.tv_sec) + std::chrono::microseconds(stamp.tv_usec)));
    const auto age = std::chrono::system_clock::now() - stamped;
    if (age <= std::chrono::system_clock::duration::zero()) return now;
    return now - std::chrono::duration_cast<std::chrono::steady_clock::duration>(age);
  }
  return now;  // no stamp: as good as reading it now
}

}  // namespace

std::optional<sockaddr_in> ParseEndpoint(std::string_view text, std::string& error) {
  const std::size_t colon = text.rfind(':');
  std::uint16_t port = 0;
  if (colon == std::string_view::npos || colon == 0 || !ParsePort(text.substr(colon + 1), port)) {
    error = "expected HOST:PORT with a port from 1 to 65535, got \"" + std::string(text) + "\"";
    return std::nullopt;
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  const std::string host(text.substr(0, colon));
  if (!ResolveHost(host, address.sin_addr)) {
    error = "cannot resolve \"" + host + "\" to an IPv4 address";
    return std::nullopt;
  }
  return address;
}

std::string EndpointText(const sockaddr_in& address) {
  char host[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
  return std::string(host) + ":" + std::to_string(ntohs(address.sin_port));
}

std::optional<PeerSocket> PeerSocket::Open(const sockaddr_in& bridge, std::string& error) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    error = std::string("cannot create a UDP socket: ") + std::strerror(errno);
    return std::nullopt;
  }
  PeerSocket result(fd);
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
  const int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_TIMESTAMP, &on, sizeof on);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&bridge), sizeof bridge) != 0) {
    error = "cannot address " + EndpointText(bridge) + ": " + std::strerror(errno);
    return std::nullopt;
  }
  return result;
}

PeerSocket::~PeerSocket() {
  if (fd_ >= 0) close(fd_);
}

PeerSocket::PeerSocket(PeerSocket&& other) noexcept : fd_(other.fd_) { other.fd_ = -1; }

bool PeerSocket::Send(std::string_view datagram) {
  // A previous send to a closed port leaves a pending refusal that the next call would report;
  // it says nothing about this send, so one retry follows it.
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (send(fd_, datagram.data(), datagram.size(), 0) >= 0) return true;
    if (errno != ECONNREFUSED) return false;
  }
  return false;
}

ReceiveStatus PeerSocket::Receive(std::string& datagram, int wait_ms,
                                  std::chrono::steady_clock::time_point* arrived) {
  if (wait_ms > 0) {
    pollfd ready{fd_, POLLIN, 0};
    const int polled = poll(&ready, 1, wait_ms);
    if (polled == 0 || (polled < 0 && errno == EINTR)) return ReceiveStatus::kNothing;
    if (polled < 0) return ReceiveStatus::kError;
  }
  char buffer[kReceiveCapacity];
  iovec part{buffer, sizeof buffer};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timeval))];
  msghdr message{};
  message.msg_iov = &part;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  const ssize_t n = recvmsg(fd_, &message, MSG_DONTWAIT);
  if (n < 0) {
    if (errno == ECONNREFUSED || errno == EAGAIN || errno == EINTR) return ReceiveStatus::kNothing;
    return ReceiveStatus::kError;
  }
  datagram.assign(buffer, static_cast<std::size_t>(n));
  if (arrived != nullptr) *arrived = ArrivalTime(message);
  return ReceiveStatus::kDatagram;
}

std::optional<PeerSocket> OpenPeerSocket(const sockaddr_in& bridge, std::ostream& err) {
  std::string error;
  std::optional<PeerSocket> socket = PeerSocket::Open(bridge, error);
  if (!socket) err << "skyhelm-peer: " << error << "\n";
  return socket;
}

}  // namespace skyhelm::peer
