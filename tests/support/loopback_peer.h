// Test support: a UDP peer on 127.0.0.1 with its own ephemeral port, talking to one port there.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace skyhelm::test_support {

class LoopbackPeer {
 public:
  // `skip`: the datagram Next passes over (e.g. what is sent while there is nothing to report).
  explicit LoopbackPeer(int port, std::string skip = "") : skip_(std::move(skip)) {
    to_.sin_family = AF_INET;
    to_.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const sockaddr_in local = to_;
    ::bind(socket_, reinterpret_cast<const sockaddr*>(&local), sizeof local);
    to_.sin_port = htons(static_cast<std::uint16_t>(port));
  }
  ~LoopbackPeer() { ::close(socket_); }
  LoopbackPeer(const LoopbackPeer&) = delete;
  LoopbackPeer& operator=(const LoopbackPeer&) = delete;

  int socket() const { return socket_; }
  std::uint16_t local_port() const {
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(socket_, reinterpret_cast<sockaddr*>(&bound), &length);
    return ntohs(bound.sin_port);
  }
  void Send(const std::string& bytes) const {
    ::sendto(socket_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to_),
             sizeof to_);
  }
  // The next datagram within `timeout`, or nullopt.
  std::optional<std::string> Receive(std::chrono::milliseconds timeout) const {
    pollfd entry{socket_, POLLIN, 0};
    if (::poll(&entry, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    char bytes[2048];
    const ssize_t n = ::recv(socket_, bytes, sizeof bytes, 0);
    if (n < 0) return std::nullopt;
    return std::string(bytes, static_cast<std::size_t>(n));
  }
  // The next datagram that satisfies `wanted` (by default: that is not `skip`), or nullopt after
  // ten seconds.
  std::optional<std::string> Next(std::function<bool(const std::string&)> wanted = nullptr) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      const auto datagram = Receive(std::chrono::milliseconds(100));
      if (datagram && (wanted ? wanted(*datagram) : *datagram != skip_)) return datagram;
    }
    return std::nullopt;
  }
  // Announces itself with "1" until an answer comes; false after ten seconds.
  bool Join() const {
    for (int i = 0; i < 100; ++i) {
      Send("1");
      if (Receive(std::chrono::milliseconds(100))) return true;
    }
    return false;
  }

 private:
  const std::string skip_;
  int socket_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);  // children never inherit it
  sockaddr_in to_{};
};

}  // namespace skyhelm::test_support
