// POSIX implementation of the socket layer.
#include "platform/net/socket.h"
#include "platform/net/resolve_ipv4.h"

#include <errno.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

namespace skyhelm::net {
namespace {

bool SetNonBlocking(Socket socket) {
  const int flags = fcntl(socket, F_GETFL, 0);
  return flags >= 0 && fcntl(socket, F_SETFL, flags | O_NONBLOCK) == 0;
}

// A signal interrupts poll; the wait then goes on until the same deadline, so that a stream of
// signals (a terminal's resizes, a profiler's ticks) cannot stretch the time-out without bound.
bool PollFor(Socket socket, short events, int timeout_ms) {
  if (socket == kInvalidSocket) return false;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  pollfd entry{socket, events, 0};
  int result;
  int left_ms = timeout_ms;
  for (;;) {
    result = poll(&entry, 1, left_ms);
    if (result >= 0 || errno != EINTR) break;
    // Rounded up: a wait cut short by a fraction of a millisecond still waits out the rest.
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    left_ms = left.count() > 0 ? static_cast<int>(left.count()) : 0;
  }
  return result > 0 && (entry.revents & (events | POLLERR | POLLHUP)) != 0;
}

}  // namespace

int StartSocketLibrary(std::uint16_t /*version_word*/) { return 0; }

Socket OpenUdpSocket() { return ::socket(AF_INET, SOCK_DGRAM, 0); }

int Bind(Socket socket, const sockaddr_in& address, int address_length) {
  if (socket == kInvalidSocket) return kSocketError;
  return ::bind(socket, reinterpret_cast<const sockaddr*>(&address),
                static_cast<socklen_t>(address_length)) == 0
             ? 0
             : kSocketError;
}

int SelectReadable(Socket socket, fd_set& read_set, timeval& timeout) {
  FD_ZERO(&read_set);
  // FD_SET on a negative descriptor, or one at or past FD_SETSIZE, writes outside the set.
  if (socket == kInvalidSocket || socket >= FD_SETSIZE) return kSocketError;
  FD_SET(socket, &read_set);
  return ::select(socket + 1, &read_set, nullptr, nullptr, &timeout);
}

int ReceiveFrom(Socket socket, char* buffer, int capacity, sockaddr_in& from, int& from_length) {
  if (socket == kInvalidSocket || capacity < 0) return kSocketError;
  socklen_t length = static_cast<socklen_t>(from_length);
  // MSG_TRUNC makes Linux return the datagram's real length, so a clipped one can be told apart.
  // MSG_DONTWAIT: select may have reported a datagram that Linux then dropped (bad checksum).
  const ssize_t n =
      ::recvfrom(socket, buffer, static_cast<size_t>(capacity), MSG_TRUNC | MSG_DONTWAIT,
                 reinterpret_cast<sockaddr*>(&from), &length);
  from_length = static_cast<int>(length);
  if (n < 0 || n > capacity) return kSocketError;
  return static_cast<int>(n);
}

int SendTo(Socket socket, const char* data, int length, const sockaddr_in& to, int to_length) {
  if (socket == kInvalidSocket || length < 0) return kSocketError;
  const ssize_t n =
      ::sendto(socket, data, static_cast<size_t>(length), MSG_DONTWAIT,
               reinterpret_cast<const sockaddr*>(&to), static_cast<socklen_t>(to_length));
  return n < 0 ? kSocketError : static_cast<int>(n);
}

void Close(Socket socket) {
  if (socket != kInvalidSocket) ::close(socket);
}

Socket ConnectTcp(const char* host, std::uint16_t port, int timeout_ms) {
  sockaddr_in address;
  if (host == nullptr || !ResolveIpv4(host, port, address)) return kInvalidSocket;
  const Socket socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket == kInvalidSocket) return kInvalidSocket;
  if (!SetNonBlocking(socket)) {
    ::close(socket);
    return kInvalidSocket;
  }
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    int error = errno;
    if (error == EINPROGRESS && PollFor(socket, POLLOUT, timeout_ms)) {
      socklen_t length = sizeof error;
      if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) != 0) error = errno;
    } else if (error == EINPROGRESS) {
      error = ETIMEDOUT;
    }
    if (error != 0) {
      ::close(socket);
      return kInvalidSocket;
    }
  }
  int one = 1;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return socket;
}

long SendSome(Socket socket, const void* data, std::size_t length) {
  if (socket == kInvalidSocket) return kSocketError;
  const ssize_t n = ::send(socket, data, length, MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n >= 0) return static_cast<long>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
  return kSocketError;
}

long ReceiveSome(Socket socket, void* buffer, std::size_t capacity) {
  if (socket == kInvalidSocket) return kSocketError;
  const ssize_t n = ::recv(socket, buffer, capacity, MSG_DONTWAIT);
  if (n > 0) return static_cast<long>(n);
  if (n == 0) return capacity == 0 ? 0 : kSocketError;  // orderly shutdown by the peer
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
  return kSocketError;
}

void EndSending(Socket socket) {
  if (socket != kInvalidSocket) ::shutdown(socket, SHUT_WR);
}

bool WaitForReadable(Socket socket, int timeout_ms) { return PollFor(socket, POLLIN, timeout_ms); }

bool WaitForWritable(Socket socket, int timeout_ms) { return PollFor(socket, POLLOUT, timeout_ms); }

}  // namespace skyhelm::net
