// Loopback sockets for the bench.
#include "bench/loopback.h"

#include <arpa/inet.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace skyhelm::bench {
namespace {

constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;

bool BindLoopback(int fd, std::uint16_t* port) {
  sockaddr_in address = LoopbackAddress(0);
  if (bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) return false;
  socklen_t length = sizeof address;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) return false;
  *port = ntohs(address.sin_port);
  return true;
}

void SetNoDelay(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

}  // namespace

sockaddr_in LoopbackAddress(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

int OpenUdpLoopback(std::uint16_t* port, int receive_timeout_ms) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes, sizeof kReceiveBufferBytes);
  if (!BindLoopback(fd, port)) {
    close(fd);
    return -1;
  }
  SetReceiveTimeout(fd, receive_timeout_ms);
  return fd;
}

int ListenTcpLoopback(std::uint16_t* port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  if (!BindLoopback(fd, port) || listen(fd, 4) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

int ConnectTcpLoopback(std::uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  const sockaddr_in address = LoopbackAddress(port);
  if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  SetNoDelay(fd);
  return fd;
}

int AcceptTcp(int listener) {
  const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd >= 0) SetNoDelay(fd);
  return fd;
}

void SetReceiveTimeout(int fd, int timeout_ms) {
  timeval timeout{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}

bool ReadExactly(int fd, void* buffer, std::size_t length) {
  auto* bytes = static_cast<char*>(buffer);
  while (length > 0) {
    const ssize_t n = read(fd, bytes, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteExactly(int fd, const void* data, std::size_t length) {
  const auto* bytes = static_cast<const char*>(data);
  while (length > 0) {
    const ssize_t n = send(fd, bytes, length, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace skyhelm::bench
