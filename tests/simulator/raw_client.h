// Test helper: a raw TCP client speaking the simulator's byte protocol, without the client library.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "platform/simconnect/wire_protocol.h"

namespace skyhelm::simulator::testing {

// One message from the simulator, as its raw bytes.
struct Message {
  std::vector<std::uint8_t> bytes;
  std::uint32_t id() const { return wire::GetU32(bytes.data() + 8); }
  // The n-th 32-bit field after the 12-byte header (0-based).
  std::uint32_t field(std::size_t n) const { return wire::GetU32(bytes.data() + 12 + 4 * n); }
  // The data block of a SIMOBJECT_DATA message, and the value at byte `at` of it.
  const std::uint8_t* block() const { return bytes.data() + wire::kSimObjectDataHeaderBytes; }
  std::size_t block_size() const { return bytes.size() - wire::kSimObjectDataHeaderBytes; }
  template <typename T>
  T At(std::size_t at) const {
    T value;
    std::memcpy(&value, block() + at, sizeof value);
    return value;
  }
  const char* TextAt(std::size_t at) const { return reinterpret_cast<const char*>(block() + at); }
};

class RawClient {
 public:
  // Connects to 127.0.0.1:port; receive_buffer_bytes > 0 shrinks the receive buffer first.
  explicit RawClient(std::uint16_t port, int receive_buffer_bytes = 0);
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  void SendBytes(const std::vector<std::uint8_t>& bytes);
  // Each sends one request with the next send id and returns that id.
  std::uint32_t Open(const char* name = "Request Data",
                     std::uint32_t version = wire::kProtocolVersion);
  std::uint32_t Add(std::uint32_t define_id, const char* datum, const char* units,
                    std::uint32_t type);
  std::uint32_t RequestData(std::uint32_t request_id, std::uint32_t define_id, std::uint32_t period,
                            std::uint32_t object_id = 0);
  std::uint32_t Map(std::uint32_t event_id, const char* name);
  std::uint32_t Transmit(std::uint32_t event_id, std::uint32_t data);
  // Open, the bridge's 22 entries as definition 0, request 0 every frame, and its 11 mappings.
  void SubscribeLikeTheBridge();

  // The next message (with `id` when given, skipping others) within ten seconds; nullopt on
  // timeout or a closed connection.
  std::optional<Message> Next(std::optional<std::uint32_t> id = std::nullopt);
  // True once the server has closed the connection (within ten seconds, discarding data).
  bool WaitClosed();

 private:
  template <typename Request>
  std::uint32_t Send(void (*encode)(const Request&, std::uint32_t, std::vector<std::uint8_t>&),
                     const Request& request) {
    std::vector<std::uint8_t> bytes;
    encode(request, next_send_id_, bytes);
    SendBytes(bytes);
    return next_send_id_++;
  }
  bool Fill(std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  bool closed_ = false;
  std::uint32_t next_send_id_ = 1;
  std::vector<std::uint8_t> buffer_;
};

}  // namespace skyhelm::simulator::testing
