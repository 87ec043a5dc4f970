// Test helper: a raw TCP client speaking the simulator's byte protocol, without the client library.
#pragma once

#include <chrono>
#include <cstdint>
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
  // The data block of a SIMOBJECT_DATA message.
  const std::uint8_t* block() const { return bytes.data() + wire::kSimObjectDataHeaderBytes; }
  std::size_t block_size() const { return bytes.size() - wire::kSimObjectDataHeaderBytes; }
};

class RawClient {
 public:
  // Connects to 127.0.0.1:port (blocking connect, generous timeout); receive_buffer_bytes > 0
  // shrinks the socket's receive buffer first (for slow-reader tests).
  explicit RawClient(std::uint16_t port, int receive_buffer_bytes = 0);
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  void SendBytes(const std::vector<std::uint8_t>& bytes);

  // Each sends one request with the next send id and returns that id.
  std::uint32_t Open(const std::string& name = "Request Data");
  std::uint32_t Add(std::uint32_t define_id, const std::string& datum, const char* units,
                    std::uint32_t type);
  std::uint32_t RequestData(std::uint32_t request_id, std::uint32_t define_id, std::uint32_t period,
                            std::uint32_t object_id = 0);
  std::uint32_t Map(std::uint32_t event_id, const std::string& name);
  std::uint32_t Transmit(std::uint32_t event_id, std::uint32_t data, std::uint32_t object_id = 0);
  // Open, the bridge's 22 entries as definition 0, request 0 every frame, and its 11 mappings.
  void SubscribeLikeTheBridge();

  // The next message, waiting at most `timeout`; nullopt on timeout or a closed connection.
  std::optional<Message> Next(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // Skips messages until one with `id` arrives.
  std::optional<Message> NextWithId(std::uint32_t id,
                                    std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // True once the server has closed the connection (waits at most `timeout`, discarding data).
  bool WaitClosed(std::chrono::milliseconds timeout = std::chrono::seconds(10));

 private:
  bool Fill(std::chrono::steady_clock::time_point deadline);

  int fd_ = -1;
  bool closed_ = false;
  std::uint32_t next_send_id_ = 1;
  std::vector<std::uint8_t> buffer_;
};

// A little-endian value at `offset` of a data block.
std::int32_t BlockInt32(const Message& m, std::size_t offset);
float BlockFloat32(const Message& m, std::size_t offset);

}  // namespace skyhelm::simulator::testing
