// Raw protocol client for the simulator's tests.
#include "tests/simulator/raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <SimConnect.h>

#include "sim/client_events.h"
#include "sim/telemetry_schema.h"

namespace skyhelm::simulator::testing {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::seconds kPatience(10);

RawClient::RawClient(std::uint16_t port, int receive_buffer_bytes) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receive_buffer_bytes > 0) {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer_bytes, sizeof receive_buffer_bytes);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  closed_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0;
}

RawClient::~RawClient() { ::close(fd_); }

void RawClient::SendBytes(const std::vector<std::uint8_t>& bytes) {
  for (std::size_t sent = 0; sent < bytes.size();) {
    const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return;
    sent += static_cast<std::size_t>(n);
  }
}

std::uint32_t RawClient::Open(const char* name, std::uint32_t version) {
  return Send(wire::EncodeOpen, wire::OpenRequest{wire::kMagic, version, name});
}

std::uint32_t RawClient::Add(std::uint32_t define_id, const char* datum, const char* units,
                             std::uint32_t type) {
  return Send(wire::EncodeAddToDataDefinition,
              wire::AddToDataDefinitionRequest{define_id, datum, units != nullptr,
                                               units != nullptr ? units : "", type});
}

std::uint32_t RawClient::RequestData(std::uint32_t request_id, std::uint32_t define_id,
                                     std::uint32_t period, std::uint32_t object_id) {
  return Send(wire::EncodeRequestDataOnSimObject,
              wire::RequestDataOnSimObjectRequest{request_id, define_id, object_id, period});
}

std::uint32_t RawClient::Map(std::uint32_t event_id, const char* name) {
  return Send(wire::EncodeMapClientEvent, wire::MapClientEventRequest{event_id, name});
}

std::uint32_t RawClient::Transmit(std::uint32_t event_id, std::uint32_t data) {
  return Send(
      wire::EncodeTransmitClientEvent,
      wire::TransmitClientEventRequest{0, event_id, data, SIMCONNECT_GROUP_PRIORITY_STANDARD,
                                       SIMCONNECT_EVENT_FLAG_GROUPID_IS_PRIORITY});
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

// Appends what arrives before `deadline`; false on timeout or a closed connection.
bool RawClient::Fill(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  pollfd p{fd_, POLLIN, 0};
  if (closed_ || left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) {
    return false;
  }
  std::uint8_t chunk[65536];
  const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
  closed_ = n <= 0;
  if (n > 0) buffer_.insert(buffer_.end(), chunk, chunk + n);
  return n > 0;
}

std::optional<Message> RawClient::Next(std::optional<std::uint32_t> id) {
  const auto deadline = Clock::now() + kPatience;
  for (;;) {
    std::size_t size = 0;
    const auto status =
        wire::PeekFrame(buffer_.data(), buffer_.size(), wire::kMessageHeaderBytes, size);
    if (status == wire::FrameStatus::kBroken) return std::nullopt;
    if (status == wire::FrameStatus::kComplete) {
      const auto end = buffer_.begin() + static_cast<std::ptrdiff_t>(size);
      Message message{{buffer_.begin(), end}};
      buffer_.erase(buffer_.begin(), end);
      if (!id || message.id() == *id) return message;
    } else if (!Fill(deadline)) {
      return std::nullopt;
    }
  }
}

bool RawClient::WaitClosed() {
  const auto deadline = Clock::now() + kPatience;
  while (Fill(deadline)) buffer_.clear();
  return closed_;
}

}  // namespace skyhelm::simulator::testing
