// Raw protocol client for the simulator's tests.
#include "tests/simulator/raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include <SimConnect.h>

#include "sim/client_events.h"
#include "sim/telemetry_schema.h"

namespace skyhelm::simulator::testing {

RawClient::RawClient(std::uint16_t port, int receive_buffer_bytes) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receive_buffer_bytes > 0) {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer_bytes, sizeof receive_buffer_bytes);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

RawClient::~RawClient() {
  if (fd_ >= 0) ::close(fd_);
}

void RawClient::SendBytes(const std::vector<std::uint8_t>& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

std::uint32_t RawClient::Open(const std::string& name) {
  std::vector<std::uint8_t> bytes;
  wire::OpenRequest request;
  request.client_name = name;
  wire::EncodeOpen(request, next_send_id_, bytes);
  SendBytes(bytes);
  return next_send_id_++;
}

std::uint32_t RawClient::Add(std::uint32_t define_id, const std::string& datum, const char* units,
                             std::uint32_t type) {
  wire::AddToDataDefinitionRequest request;
  request.define_id = define_id;
  request.datum_name = datum;
  request.has_units = units != nullptr;
  request.units_name = units != nullptr ? units : "";
  request.datum_type = type;
  std::vector<std::uint8_t> bytes;
  wire::EncodeAddToDataDefinition(request, next_send_id_, bytes);
  SendBytes(bytes);
  return next_send_id_++;
}

std::uint32_t RawClient::RequestData(std::uint32_t request_id, std::uint32_t define_id,
                                     std::uint32_t period, std::uint32_t object_id) {
  wire::RequestDataOnSimObjectRequest request;
  request.request_id = request_id;
  request.define_id = define_id;
  request.object_id = object_id;
  request.period = period;
  std::vector<std::uint8_t> bytes;
  wire::EncodeRequestDataOnSimObject(request, next_send_id_, bytes);
  SendBytes(bytes);
  return next_send_id_++;
}

std::uint32_t RawClient::Map(std::uint32_t event_id, const std::string& name) {
  std::vector<std::uint8_t> bytes;
  wire::EncodeMapClientEvent({event_id, name}, next_send_id_, bytes);
  SendBytes(bytes);
  return next_send_id_++;
}

std::uint32_t RawClient::Transmit(std::uint32_t event_id, std::uint32_t data,
                                  std::uint32_t object_id) {
  wire::TransmitClientEventRequest request;
  request.object_id = object_id;
  request.event_id = event_id;
  request.data = data;
  request.group_id = SIMCONNECT_GROUP_PRIORITY_STANDARD;
  request.flags = SIMCONNECT_EVENT_FLAG_GROUPID_IS_PRIORITY;
  std::vector<std::uint8_t> bytes;
  wire::EncodeTransmitClientEvent(request, next_send_id_, bytes);
  SendBytes(bytes);
  return next_send_id_++;
}

void RawClient::SubscribeLikeTheBridge() {
  Open();
  for (const TelemetryDatum& datum : kTelemetryDefinitionEntries) {
    Add(kTelemetryDefinition, datum.datum_name, datum.units_name, datum.datum_type);
  }
  RequestData(kTelemetryRequest, kTelemetryDefinition, SIMCONNECT_PERIOD_SIM_FRAME);
  for (const ClientEventMapping& mapping : kClientEventMappings) {
    Map(mapping.id, mapping.sim_event_name);
  }
}

bool RawClient::Fill(std::chrono::steady_clock::time_point deadline) {
  if (fd_ < 0 || closed_) return false;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  pollfd p{fd_, POLLIN, 0};
  if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
  std::uint8_t chunk[65536];
  const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
  if (n <= 0) {
    closed_ = true;
    return false;
  }
  buffer_.insert(buffer_.end(), chunk, chunk + n);
  return true;
}

std::optional<Message> RawClient::Next(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    std::size_t size = 0;
    const auto status =
        wire::PeekFrame(buffer_.data(), buffer_.size(), wire::kMessageHeaderBytes, size);
    if (status == wire::FrameStatus::kBroken) return std::nullopt;
    if (status == wire::FrameStatus::kComplete) {
      Message message{{buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(size)}};
      buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(size));
      return message;
    }
    if (!Fill(deadline)) return std::nullopt;
  }
}

std::optional<Message> RawClient::NextWithId(std::uint32_t id, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    auto message = Next(std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now()));
    if (!message) return std::nullopt;
    if (message->id() == id) return message;
  }
  return std::nullopt;
}

bool RawClient::WaitClosed(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!closed_ && Fill(deadline)) buffer_.clear();
  return closed_;
}

std::int32_t BlockInt32(const Message& m, std::size_t offset) {
  return static_cast<std::int32_t>(wire::GetU32(m.block() + offset));
}

float BlockFloat32(const Message& m, std::size_t offset) {
  const std::uint32_t bits = wire::GetU32(m.block() + offset);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

}  // namespace skyhelm::simulator::testing
