// The peer's UDP socket: one bridge address, datagrams out, telemetry datagrams in.
#pragma once

#include <netinet/in.h>

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>

namespace skyhelm::peer {

// Parses "HOST:PORT" (HOST a dotted IPv4 address or a name that resolves to IPv4, PORT 1-65535).
// nullopt with `error` set when it does not parse or resolve.
std::optional<sockaddr_in> ParseEndpoint(std::string_view text, std::string& error);

// "127.0.0.1:47001".
std::string EndpointText(const sockaddr_in& address);

enum class ReceiveStatus { kDatagram, kNothing, kError };

// A UDP socket connected to the bridge, so only the bridge's datagrams are received. Owns the
// descriptor; move-only.
class PeerSocket {
 public:
  // nullopt with `error` set when the socket cannot be created or connected.
  static std::optional<PeerSocket> Open(const sockaddr_in& bridge, std::string& error);
  ~PeerSocket();
  PeerSocket(PeerSocket&& other) noexcept;
  PeerSocket& operator=(PeerSocket&&) = delete;
  PeerSocket(const PeerSocket&) = delete;
  PeerSocket& operator=(const PeerSocket&) = delete;

  // One datagram with exactly these bytes (may be empty). False when the send failed.
  bool Send(std::string_view datagram);

  // Waits at most wait_ms (0: not at all) for one datagram and stores it in `datagram`, and in
  // `arrived` (when given) the moment it reached the socket, as the kernel stamped it: a reader
  // that was late finds the datagrams that queued meanwhile with their own times.
  // kNothing on timeout, on an interrupting signal, and when the bridge's port is closed (the
  // kernel's refusal is swallowed: the bridge may simply not be up yet).
  ReceiveStatus Receive(std::string& datagram, int wait_ms,
                        std::chrono::steady_clock::time_point* arrived = nullptr);

  int fd() const { return fd_; }

 private:
  explicit PeerSocket(int fd) : fd_(fd) {}
  int fd_ = -1;
};

// PeerSocket::Open, writing the reason to `err` ("skyhelm-peer: ...") when it fails.
std::optional<PeerSocket> OpenPeerSocket(const sockaddr_in& bridge, std::ostream& err);

}  // namespace skyhelm::peer
