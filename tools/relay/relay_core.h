// The relay's one record, shared by its upstream/UDP side (relay_server.cpp) and its HTTP and
// WebSocket side (web_session.cpp). Everything here is touched only from the io_context's thread.
#pragma once

#include <array>
#include <boost/asio.hpp>
#include <cstdint>
#include <iosfwd>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>

#include "tools/peer/line_decoder.h"
#include "tools/relay/relay_logic.h"
#include "tools/relay/relay_server.h"

namespace skyhelm::relay {

namespace net = boost::asio;
using udp = net::ip::udp;
using tcp = net::ip::tcp;

class WebSession;

// The bridge's datagrams are ~120 bytes; anything near this is not a line.
inline constexpr std::size_t kReceiveBytes = 2048;
inline constexpr std::size_t kMaxCommandBytes = 1024;  // the bridge refuses longer datagrams
// A forwarded command whose effect the line has not shown by then is "not confirmed".
inline constexpr auto kConfirmWait = std::chrono::seconds(5);
// A UDP subscriber silent for --expire gets no lines for this long, then goes (see Expire).
inline constexpr auto kExpiryProbe = std::chrono::seconds(3);

struct Relay {
  Relay(const RelayOptions& relay_options, std::ostream& error_stream);

  // Sends `text` to the bridge as one datagram; never waits (a full socket buffer drops it).
  void ForwardToBridge(std::string_view text);
  // Gives every receiver that is due the newest line, and arms the timer for the next one due.
  void FanOut(TimePoint now);
  void ArmFanOut(TimePoint at);
  std::string StatusText(TimePoint now) const;
  void AddSession(std::shared_ptr<WebSession> session);
  void RemoveSession(const WebSession* session);
  // The log: standard error, never waiting (a text that cannot go at once is dropped).
  void Log(std::string_view text) const;

  RelayOptions options;
  bool listen_loopback = true;  // HTTP is on a loopback address
  HostPolicy hosts;             // Host and Origin headers served
  std::ostream& err;
  net::io_context io;
  udp::socket upstream{io};    // connected to the bridge, so "port unreachable" is reported
  udp::socket downstream{io};  // the UDP subscribers' port
  tcp::acceptor acceptor{io};
  net::steady_timer fanout_timer{io};
  TimePoint fanout_at{};  // when the fan-out timer fires; TimePoint{} when it is idle
  net::steady_timer housekeeping_timer{io};
  net::steady_timer accept_backoff{io};  // out of descriptors: accept again a little later
  bool accept_failing = false;
  net::signal_set signals{io};

  DeliveryPace udp_pace{};
  DeliveryPace web_pace{};
  ClaimPolicy claim_policy{};
  SubscriberTable subscribers;
  UpstreamState bridge;

  std::string last_datagram;   // the bridge's newest datagram, to skip repeats cheaply
  std::string line;            // the newest valid line datagram, exactly as the bridge sent it
  std::uint64_t line_seq = 0;  // 0 until the first valid line
  TimePoint line_changed_at{};
  std::optional<peer::TelemetryValues> values;         // the newest line, decoded
  std::shared_ptr<const std::string> telemetry_frame;  // the newest line as JSON
  std::uint64_t web_frames_skipped =
      0;  // frames a slow browser never got: a newer one replaced them

  std::set<std::shared_ptr<WebSession>> sessions;
  std::size_t connections = 0;      // every accepted TCP connection still open
  std::size_t web_connections = 0;  // those that asked for a WebSocket, handshake or not
  FailedTokensByAddress failed_tokens{1024};
  TimePoint last_status_at{};
  std::array<char, kReceiveBytes> upstream_buffer{};
  std::array<char, kReceiveBytes> downstream_buffer{};
  udp::endpoint downstream_sender;
};

// Counts one TCP connection from accept to close (caps are counted at accept, not at handshake).
class ConnectionSlot {
 public:
  explicit ConnectionSlot(Relay& relay) : relay_(relay) { ++relay_.connections; }
  ~ConnectionSlot() { --relay_.connections; }
  ConnectionSlot(const ConnectionSlot&) = delete;
  ConnectionSlot& operator=(const ConnectionSlot&) = delete;

 private:
  Relay& relay_;
};

// Reads what the bridge has sent, keeping only the newest of the datagrams waiting (the bridge
// sends one per pass, mostly repeats); never waits.
void DrainUpstream(Relay& relay);

// Accepts browsers on relay.acceptor, forever (HTTP for the page and /status, WebSocket on /ws).
void StartAccepting(Relay& relay);

}  // namespace skyhelm::relay
