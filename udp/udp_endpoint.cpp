// The UDP endpoint's per-pass operations.
#include "udp/udp_endpoint.h"

#include <cerrno>
#include <cstring>

#include "platform/text/text_util.h"

namespace skyhelm {

std::int32_t BindResult = net::kSocketError;

void BindIfUnbound(net::Socket socket, const sockaddr_in& address, std::int32_t& bind_result) {
  if (bind_result != net::kSocketError) return;
  bind_result = net::Bind(socket, address, kAddressBytes);
}

std::int32_t WaitForDatagram(net::Socket socket, fd_set& read_set, timeval& timeout) {
  errno = 0;
  std::int32_t result = net::SelectReadable(socket, read_set, timeout);
#if !defined(_WIN32)
  // SIGINT/SIGTERM land mostly inside this wait (it is where the loop spends its time). The wait
  // then ends early with EINTR; the socket has not failed, so this is a pass with nothing to read.
  if (result == net::kSocketError && errno == EINTR) result = 0;
#endif
  return result;
}

int ReceiveDatagram(net::Socket socket, DatagramBuffer& buffer, sockaddr_in& address,
                    std::int32_t& address_length, bool& peer_known) {
  std::memset(buffer, 0, sizeof buffer);
  const int received =
      net::ReceiveFrom(socket, buffer, static_cast<int>(sizeof buffer), address, address_length);
  if (received >= 0) peer_known = true;
  return received;
}

std::size_t CommandBytes(const DatagramBuffer& buffer, int received) {
  if (received <= 0 || buffer[0] == '1') return 0;
  return static_cast<std::size_t>(received);
}

void SendLine(net::Socket socket, DatagramBuffer& buffer, std::string_view line,
              const sockaddr_in& address, std::int32_t address_length, bool peer_known) {
  std::memset(buffer, 0, sizeof buffer);
  // "%s\r\n", bounded: the text stops at a zero byte and leaves room for "\r\n" and a final zero.
  // A telemetry line is at most a few hundred bytes, so the bound never cuts one.
  std::size_t text_length = text::LengthToZero(line.data(), line.size());
  if (text_length > sizeof buffer - 3) text_length = sizeof buffer - 3;
  std::memcpy(buffer, line.data(), text_length);
  std::memcpy(buffer + text_length, "\r\n", 2);
  // Linux (and Wine) deliver a send to 0.0.0.0 to the local host, where Winsock refuses it. Before
  // the first receive `address` still holds the bind address 0.0.0.0 with our own port, so the
  // bridge would receive its own line, and its first byte "v" would become a vertical-speed
  // command. Nothing is sent until a peer is known. This also keeps a send from binding the socket
  // implicitly to some ephemeral port while the configured port is still taken, which would make
  // every later bind fail.
  if (!peer_known) return;
  net::SendTo(socket, buffer, static_cast<int>(text_length + 2), address, address_length);
}

void CloseEndpoint(net::Socket socket) { net::Close(socket); }

}  // namespace skyhelm
