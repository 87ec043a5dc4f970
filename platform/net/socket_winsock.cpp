// Winsock implementation of the socket layer.
#include "platform/net/socket.h"
#include "platform/net/resolve_ipv4.h"

// After socket.h: mswsock.h needs winsock2.h's declarations.
#include <mswsock.h>

#include <climits>
#include <cstring>

namespace skyhelm::net {
namespace {

constexpr WORD kWinsockVersion22 = 514;

// select() takes its timeout as seconds plus microseconds.
timeval ToTimeval(int timeout_ms) {
  if (timeout_ms < 0) timeout_ms = 0;
  timeval t;
  t.tv_sec = timeout_ms / 1000;
  t.tv_usec = (timeout_ms % 1000) * 1000;
  return t;
}

// Waits for the socket to be readable (or writable). A failed non-blocking connect shows up in
// Winsock's exception set, not in the write set as on POSIX, so the exception set is watched too
// and counts as "ready": the caller's next call then reports the failure.
bool WaitFor(Socket socket, bool for_write, int timeout_ms) {
  if (socket == kInvalidSocket) return false;
  fd_set ready_set;
  fd_set error_set;
  FD_ZERO(&ready_set);
  FD_ZERO(&error_set);
  FD_SET(socket, &ready_set);
  FD_SET(socket, &error_set);
  timeval timeout = ToTimeval(timeout_ms);
  const int result = ::select(0, for_write ? nullptr : &ready_set, for_write ? &ready_set : nullptr,
                              &error_set, &timeout);
  return result > 0;
}

// The bridge starts Winsock before anything else touches a socket; a caller of the TCP calls
// that did not (a test, a tool) gets it started here instead of a WSANOTINITIALISED failure.
Socket OpenStreamSocket() {
  Socket socket = ::socket(AF_INET, SOCK_STREAM, 0);
  if (socket == kInvalidSocket && WSAGetLastError() == WSANOTINITIALISED) {
    StartSocketLibrary(kWinsockVersion22);
    socket = ::socket(AF_INET, SOCK_STREAM, 0);
  }
  return socket;
}

bool ConnectWithin(Socket socket, const sockaddr_in& address, int timeout_ms) {
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) {
    return true;
  }
  if (WSAGetLastError() != WSAEWOULDBLOCK || !WaitFor(socket, true, timeout_ms)) return false;
  int error = 0;
  int length = sizeof error;
  if (getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) != 0) {
    return false;
  }
  return error == 0;
}

}  // namespace

int StartSocketLibrary(std::uint16_t version_word) {
  WSADATA data;
  return WSAStartup(version_word, &data);
}

Socket OpenUdpSocket() {
  const Socket socket = ::socket(AF_INET, SOCK_DGRAM, 0);
  if (socket == kInvalidSocket) return socket;
  // When a send draws an ICMP port-unreachable (the peer has gone), Winsock fails the next
  // recvfrom with WSAECONNRESET and marks the socket readable to deliver that failure. The bridge
  // sends to its last peer on every pass, so with a departed peer every pass would find the socket
  // "readable" only to fail the receive, and a new peer's datagram could wait behind an endless
  // run of these reports. UDP has no connection to reset: switch the report off.
  BOOL report_reset = FALSE;
  DWORD returned = 0;
  WSAIoctl(socket, SIO_UDP_CONNRESET, &report_reset, sizeof report_reset, nullptr, 0, &returned,
           nullptr, nullptr);
  return socket;
}

int Bind(Socket socket, const sockaddr_in& address, int address_length) {
  if (socket == kInvalidSocket) return kSocketError;
  return ::bind(socket, reinterpret_cast<const sockaddr*>(&address), address_length) == 0
             ? 0
             : kSocketError;
}

int SelectReadable(Socket socket, fd_set& read_set, timeval& timeout) {
  FD_ZERO(&read_set);
  if (socket == kInvalidSocket) return kSocketError;
  FD_SET(socket, &read_set);
  // Winsock ignores select's first argument (the POSIX descriptor count).
  return ::select(0, &read_set, nullptr, nullptr, &timeout);
}

int ReceiveFrom(Socket socket, char* buffer, int capacity, sockaddr_in& from, int& from_length) {
  if (socket == kInvalidSocket || capacity < 0) return kSocketError;
  // Winsock has no MSG_DONTWAIT, and the socket stays blocking: a zero-timeout select first, so
  // that recvfrom runs only with a datagram (or a pending error) there to report.
  if (!WaitFor(socket, false, 0)) return kSocketError;
  // A datagram longer than capacity fails with WSAEMSGSIZE (its head is still copied, the rest is
  // dropped): the SOCKET_ERROR result is passed on as it is.
  const int n =
      ::recvfrom(socket, buffer, capacity, 0, reinterpret_cast<sockaddr*>(&from), &from_length);
  return n < 0 ? kSocketError : n;
}

int SendTo(Socket socket, const char* data, int length, const sockaddr_in& to, int to_length) {
  if (socket == kInvalidSocket || length < 0) return kSocketError;
  // No MSG_DONTWAIT on Winsock either: a datagram the socket cannot take now is dropped.
  if (!WaitFor(socket, true, 0)) return kSocketError;
  const int n =
      ::sendto(socket, data, length, 0, reinterpret_cast<const sockaddr*>(&to), to_length);
  return n < 0 ? kSocketError : n;
}

void Close(Socket socket) {
  if (socket != kInvalidSocket) ::closesocket(socket);
}

Socket ConnectTcp(const char* host, std::uint16_t port, int timeout_ms) {
  sockaddr_in address;
  if (host == nullptr) return kInvalidSocket;
  const Socket socket = OpenStreamSocket();
  if (socket == kInvalidSocket) return kInvalidSocket;
  u_long non_blocking = 1;
  if (!ResolveIpv4(host, port, address) || ioctlsocket(socket, FIONBIO, &non_blocking) != 0 ||
      !ConnectWithin(socket, address, timeout_ms)) {
    ::closesocket(socket);
    return kInvalidSocket;
  }
  BOOL no_delay = TRUE;
  setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&no_delay),
             sizeof no_delay);
  return socket;
}

long SendSome(Socket socket, const void* data, std::size_t length) {
  if (socket == kInvalidSocket) return kSocketError;
  const int chunk = length > INT_MAX ? INT_MAX : static_cast<int>(length);
  const int n = ::send(socket, static_cast<const char*>(data), chunk, 0);
  if (n >= 0) return n;
  return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : kSocketError;
}

long ReceiveSome(Socket socket, void* buffer, std::size_t capacity) {
  if (socket == kInvalidSocket) return kSocketError;
  const int room = capacity > INT_MAX ? INT_MAX : static_cast<int>(capacity);
  const int n = ::recv(socket, static_cast<char*>(buffer), room, 0);
  if (n > 0) return n;
  if (n == 0) return capacity == 0 ? 0 : kSocketError;  // orderly shutdown by the peer
  return WSAGetLastError() == WSAEWOULDBLOCK ? 0 : kSocketError;
}

void EndSending(Socket socket) {
  if (socket != kInvalidSocket) ::shutdown(socket, SD_SEND);
}

bool WaitForReadable(Socket socket, int timeout_ms) { return WaitFor(socket, false, timeout_ms); }

bool WaitForWritable(Socket socket, int timeout_ms) { return WaitFor(socket, true, timeout_ms); }

}  // namespace skyhelm::net
