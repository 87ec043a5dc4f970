// A raw TCP client of the stand-in simulator, without the client library, so that tests can send
// broken bytes and stop reading at will. Every wait gives up after 10 s.
#pragma once

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <SimConnect.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <optional>
#include <vector>

#include "platform/simconnect/wire_protocol.h"
#include "sim/client_events.h"
#include "sim/telemetry_schema.h"

namespace skyhelm::simulator::test_support {

// One message from the simulator, as its raw bytes; none (false) after a failed wait.
struct Message {
  std::vector<std::uint8_t> bytes;
  explicit operator bool() const { return !bytes.empty(); }
  // The first `count` 32-bit words after the size: the version, the id, then the fields.
  std::vector<std::uint32_t> words(std::size_t count) const {
    std::vector<std::uint32_t> out;
    for (std::size_t at = 4; out.size() < count && at + 4 <= bytes.size(); at += 4)
      out.push_back(wire::GetU32(&bytes[at]));
    return out;
  }
  std::uint32_t id() const { return bytes.size() < 12 ? 0 : wire::GetU32(&bytes[8]); }
  std::size_t block_size() const {
    return bytes.size() - std::min(bytes.size(), wire::kSimObjectDataHeaderBytes);
  }
};

class RawClient {
 public:
  // A small receive buffer (receive_buffer_bytes > 0) lets the server's sends back up sooner.
  explicit RawClient(std::uint16_t port, int receive_buffer_bytes = 0) {
    if (receive_buffer_bytes > 0) {
      ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer_bytes, sizeof receive_buffer_bytes);
    }
    const sockaddr_in address{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    closed_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0;
  }
  ~RawClient() { ::close(fd_); }
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  // All of `bytes`, blocking.
  bool SendBytes(const std::vector<std::uint8_t>& bytes) {
    return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  // What the socket takes now of `size` bytes, without waiting.
  std::size_t SendNow(const std::uint8_t* data, std::size_t size) {
    const ssize_t n = ::send(fd_, data, size, MSG_NOSIGNAL | MSG_DONTWAIT);
    return n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  // Each sends one request with the next send id and returns that id; later requests carry the
  // open's version word.
  template <typename Request>
  std::uint32_t Send(void (*encode)(const Request&, std::uint32_t, std::uint32_t,
                                    std::vector<std::uint8_t>&),
                     const Request& request) {
    std::vector<std::uint8_t> bytes;
    encode(request, protocol_, next_send_id_, bytes);
    SendBytes(bytes);
    return next_send_id_++;
  }
  std::uint32_t Open(const char* name = "Request Data",
                     std::uint32_t version = wire::kDefaultProtocol) {
    protocol_ = version;
    return Send(wire::EncodeOpen, {name, {}});
  }
  std::uint32_t Add(std::uint32_t define, const char* datum, const char* units,
                    std::uint32_t type) {
    return Send(wire::EncodeAddToDataDefinition, {define, datum, units ? units : "", type});
  }
  std::uint32_t RequestData(std::uint32_t request, std::uint32_t define, std::uint32_t period,
                            std::uint32_t object = 0) {
    return Send(wire::EncodeRequestDataOnSimObject, {request, define, object, period});
  }
  std::uint32_t Map(std::uint32_t event_id, const char* name) {
    return Send(wire::EncodeMapClientEvent, {event_id, name});
  }
  // Open, the bridge's 22 entries as definition 0, request 0 every frame, and its 11 mappings.
  void SubscribeLikeTheBridge() {
    Open();
    for (const TelemetryDatum& d : kTelemetryDefinitionEntries) {
      Add(kTelemetryDefinition, d.datum_name, d.units_name, d.datum_type);
    }
    RequestData(kTelemetryRequest, kTelemetryDefinition, SIMCONNECT_PERIOD_SIM_FRAME);
    for (const ClientEventMapping& m : kClientEventMappings) Map(m.id, m.sim_event_name);
  }

  // The next message (with `id` when given, skipping others); none on timeout, broken framing or
  // a closed connection.
  Message Next(std::optional<std::uint32_t> id = std::nullopt) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (std::size_t size = 0;;) {
      const auto status =
          wire::PeekFrame(buffer_.data(), buffer_.size(), wire::kMessageHeaderBytes, size);
      if (status == wire::FrameStatus::kBroken) return {};
      if (status == wire::FrameStatus::kComplete) {
        const auto end = buffer_.begin() + static_cast<std::ptrdiff_t>(size);
        Message message{{buffer_.begin(), end}};
        buffer_.erase(buffer_.begin(), end);
        if (!id || message.id() == *id) return message;
      } else if (std::chrono::steady_clock::now() > deadline || !Fill()) {
        return {};
      }
    }
  }
  // True once the server has closed the connection (discarding data).
  bool WaitClosed() {
    while (Fill()) buffer_.clear();
    return closed_;
  }

 private:
  // Appends what arrives within 10 s; false on timeout or a closed connection.
  bool Fill() {
    pollfd readable{fd_, POLLIN, 0};
    if (closed_ || ::poll(&readable, 1, 10000) != 1) return false;
    std::uint8_t chunk[65536];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    closed_ = n <= 0;
    if (n > 0) buffer_.insert(buffer_.end(), chunk, chunk + n);
    return n > 0;
  }

  int fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool closed_ = false;
  std::uint32_t protocol_ = wire::kDefaultProtocol;
  std::uint32_t next_send_id_ = 0;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace skyhelm::simulator::test_support
