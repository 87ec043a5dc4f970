// The relay's loop: the upstream socket, the UDP subscribers, the fan-out timer and housekeeping.
#include "tools/relay/relay_server.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/random.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <csignal>
#include <ostream>

#include "platform/debug_output/debug_output.h"

#include "tools/relay/relay_json.h"
#include "tools/relay/web_session.h"

namespace skyhelm::relay {

namespace {

using std::chrono::duration_cast;
using std::chrono::milliseconds;

constexpr auto kHousekeepingPeriod = milliseconds(100);
constexpr auto kStatusPeriod = milliseconds(1000);
constexpr auto kUdpHeartbeat = milliseconds(1000);  // an unchanged line still tells "alive"
constexpr const char* kClaimDatagram = "1";

Duration FromSeconds(double seconds) {
  return duration_cast<Duration>(std::chrono::duration<double>(seconds));
}

double AgeMs(TimePoint now, TimePoint then) {
  if (then == TimePoint{}) return -1;
  return std::chrono::duration<double, std::milli>(now - then).count();
}

void ReadUpstream(Relay& relay);
void ReadDownstream(Relay& relay);

}  // namespace

void DrainUpstream(Relay& relay) {
  const TimePoint now = Clock::now();
  boost::system::error_code ec;
  std::size_t newest = 0;
  bool any = false;
  // Bounded, so that a flood cannot keep the loop here; what is left wakes the next wait at once.
  for (int i = 0; i < 1024; ++i) {
    const std::size_t n = relay.upstream.receive(net::buffer(relay.upstream_buffer), 0, ec);
    if (ec == net::error::would_block || ec == net::error::try_again) break;
    if (ec == net::error::connection_refused) {
      if (relay.bridge.state != BridgeState::kUnreachable) {
        relay.Log("relay: nothing answers on the bridge port\n");
      }
      OnBridgeRefused(relay.bridge);
      continue;
    }
    if (ec) break;
    newest = n;
    any = true;
  }
  if (!any) return;
  if (relay.bridge.state != BridgeState::kLive) {
    relay.Log(relay.bridge.state == BridgeState::kWaiting ? "relay: bridge lines arrive\n"
                                                          : "relay: bridge lines are back\n");
  }
  OnBridgeDatagram(relay.bridge, now);
  const std::string_view datagram(relay.upstream_buffer.data(), newest);
  if (datagram == relay.last_datagram) return;
  relay.last_datagram.assign(datagram);
  const peer::DecodedDatagram decoded = peer::DecodeDatagram(datagram);
  if (decoded.kind != peer::DatagramKind::kLine) return;  // no telemetry yet, or not a line
  relay.line.assign(datagram);
  ++relay.line_seq;
  relay.line_changed_at = now;
  relay.values = decoded.values;
  relay.telemetry_frame =
      std::make_shared<const std::string>(TelemetryJson(decoded.values, relay.line_seq));
  for (const auto& session : relay.sessions) session->OnLine(decoded.values, now);
  relay.FanOut(now);
}

namespace {

void ReadUpstream(Relay& relay) {
  relay.upstream.async_wait(udp::socket::wait_read, [&relay](boost::system::error_code ec) {
    if (ec == net::error::operation_aborted) return;
    DrainUpstream(relay);
    ReadUpstream(relay);
  });
}

void HandleDownstream(Relay& relay, std::size_t size) {
  const TimePoint now = Clock::now();
  const udp::endpoint& from = relay.downstream_sender;
  if (!from.address().is_v4()) return;
  Subscriber* subscriber =
      relay.subscribers.Heard(from.address().to_v4().to_uint(), from.port(), now);
  if (subscriber == nullptr) return;  // full: the sender gets nothing, as if it never came
  const std::string_view text(relay.downstream_buffer.data(), size);
  // The subscription itself ("1", or nothing) means nothing to the bridge either.
  if (!text.empty() && text[0] != kClaimDatagram[0] && size <= kMaxCommandBytes) {
    relay.ForwardToBridge(text);
  }
  if (subscriber->delivery.line_seq == 0 || subscriber->probing) {
    subscriber->probing = false;
    relay.FanOut(now);
  }
}

void ReadDownstream(Relay& relay) {
  relay.downstream.async_receive_from(net::buffer(relay.downstream_buffer), relay.downstream_sender,
                                      [&relay](boost::system::error_code ec, std::size_t size) {
                                        if (ec == net::error::operation_aborted) return;
                                        if (!ec) HandleDownstream(relay, size);
                                        ReadDownstream(relay);
                                      });
}

void Housekeeping(Relay& relay) {
  const TimePoint now = Clock::now();
  const BridgeState before = relay.bridge.state;
  if (TickClaim(relay.bridge, now, relay.claim_policy)) relay.ForwardToBridge(kClaimDatagram);
  if (before == BridgeState::kLive && relay.bridge.state == BridgeState::kSilent) {
    relay.Log("relay: bridge lines stopped (bridge gone, or another host took it); reclaiming\n");
  }
  relay.subscribers.Expire(now, FromSeconds(relay.options.expire_s), kExpiryProbe);
  for (const auto& session : relay.sessions) session->Tick(now);
  if (now - relay.last_status_at >= kStatusPeriod) {
    relay.last_status_at = now;
    const auto frame = std::make_shared<const std::string>(relay.StatusText(now));
    for (const auto& session : relay.sessions) session->OfferStatus(frame);
  }
  relay.housekeeping_timer.expires_after(kHousekeepingPeriod);
  relay.housekeeping_timer.async_wait([&relay](boost::system::error_code ec) {
    if (!ec) Housekeeping(relay);
  });
}

bool Open(Relay& relay, const udp::endpoint& bridge, const net::ip::address& listen,
          std::string& error) {
  boost::system::error_code ec;
  const auto fail = [&](const char* what) {
    error = std::string(what) + ": " + ec.message();
    return false;
  };
  relay.upstream.open(udp::v4(), ec);
  if (!ec) relay.upstream.connect(bridge, ec);
  if (!ec) relay.upstream.non_blocking(true, ec);
  if (ec) return fail("bridge socket");
  relay.downstream.open(udp::v4(), ec);
  if (!ec)
    relay.downstream.bind(
        udp::endpoint(listen, static_cast<unsigned short>(relay.options.udp_port)), ec);
  if (!ec) relay.downstream.non_blocking(true, ec);
  if (ec) return fail("UDP port");
  const tcp::endpoint http(listen, static_cast<unsigned short>(relay.options.http_port));
  relay.acceptor.open(http.protocol(), ec);
  if (!ec) relay.acceptor.set_option(net::socket_base::reuse_address(true), ec);
  if (!ec) relay.acceptor.bind(http, ec);
  if (!ec) relay.acceptor.listen(net::socket_base::max_listen_connections, ec);
  if (ec) return fail("HTTP port");
  return true;
}

}  // namespace

Relay::Relay(const RelayOptions& relay_options, std::ostream& error_stream)
    : options(relay_options), err(error_stream), subscribers(relay_options.max_subscribers) {
  const Duration interval = FromSeconds(1.0 / options.rate_hz);
  udp_pace = {interval, std::max<Duration>(kUdpHeartbeat, interval)};
  web_pace = {interval, Duration::zero()};
  claim_policy = {milliseconds(500), milliseconds(500), milliseconds(8000)};
}

void Relay::ForwardToBridge(std::string_view text) {
  boost::system::error_code ec;
  upstream.send(net::buffer(text.data(), text.size()), 0, ec);
}

void Relay::ArmFanOut(TimePoint at) {
  if (at == TimePoint{} || (fanout_at != TimePoint{} && fanout_at <= at)) return;
  fanout_at = at;
  fanout_timer.expires_at(at);
  fanout_timer.async_wait([this](boost::system::error_code ec) {
    if (ec) return;  // re-armed earlier, or stopping
    fanout_at = TimePoint{};
    FanOut(Clock::now());
  });
}

void Relay::FanOut(TimePoint now) {
  if (line_seq == 0) return;
  TimePoint next{};
  const auto earliest = [&next](TimePoint at) {
    if (at != TimePoint{} && (next == TimePoint{} || at < next)) next = at;
  };
  boost::system::error_code ec;
  for (Subscriber& s : subscribers.items()) {
    if (s.probing) continue;  // asked whether it is still there: see Expire
    const DeliveryDecision d = DecideDelivery(s.delivery, line_seq, now, udp_pace);
    if (d.send_now) {
      downstream.send_to(net::buffer(line), udp::endpoint(net::ip::address_v4(s.address), s.port),
                         0, ec);
      s.delivery = {line_seq, now};
      earliest(now + udp_pace.heartbeat);
    } else {
      earliest(d.retry_at);
    }
  }
  for (const auto& session : sessions) {
    const DeliveryDecision d = DecideDelivery(session->delivery, line_seq, now, session->pace);
    if (d.send_now) {
      session->OfferTelemetry(session->fields.empty()
                                  ? telemetry_frame
                                  : std::make_shared<const std::string>(
                                        TelemetryJson(*values, line_seq, &session->fields)));
      session->delivery = {line_seq, now};
    } else {
      earliest(d.retry_at);
    }
  }
  // A timer armed for later than the new earliest is replaced; one armed earlier stays.
  if (next != TimePoint{} && fanout_at != TimePoint{} && next < fanout_at) fanout_at = TimePoint{};
  ArmFanOut(next);
}

std::string Relay::StatusText(TimePoint now) const {
  StatusFigures figures;
  figures.bridge = BridgeStateName(bridge.state);
  figures.frames_arriving = bridge.state == BridgeState::kLive;
  figures.line_changing = line_seq > 0 && now - line_changed_at < kStillAfter;
  figures.line_age_ms = AgeMs(now, bridge.last_datagram);
  figures.unchanged_ms = AgeMs(now, line_changed_at);
  figures.claims = bridge.claims;
  figures.takeovers = bridge.takeovers;
  figures.udp_subscribers = subscribers.size();
  figures.web_clients = sessions.size();
  figures.web_frames_skipped = web_frames_skipped;
  figures.token_required = !options.token.empty();
  return StatusJson(figures);
}

void Relay::Log(std::string_view text) const { WriteDebugOutput(text.data(), text.size()); }

void Relay::AddSession(std::shared_ptr<WebSession> session) {
  sessions.insert(std::move(session));
  if (telemetry_frame) FanOut(Clock::now());
}

void Relay::RemoveSession(const WebSession* session) {
  for (auto it = sessions.begin(); it != sessions.end(); ++it) {
    if (it->get() == session) {
      sessions.erase(it);
      return;
    }
  }
}

namespace {

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// This machine's addresses, IPv4 and IPv6, loopback ones included.
std::vector<net::ip::address> OwnAddresses() {
  std::vector<net::ip::address> out;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return out;
  for (const ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
    if (a->ifa_addr == nullptr || (a->ifa_flags & IFF_UP) == 0) continue;
    if (a->ifa_addr->sa_family == AF_INET) {
      const auto* in = reinterpret_cast<const sockaddr_in*>(a->ifa_addr);
      out.push_back(net::ip::address_v4(ntohl(in->sin_addr.s_addr)));
    } else if (a->ifa_addr->sa_family == AF_INET6) {
      const auto* in6 = reinterpret_cast<const sockaddr_in6*>(a->ifa_addr);
      net::ip::address_v6::bytes_type bytes;
      std::copy(std::begin(in6->sin6_addr.s6_addr), std::end(in6->sin6_addr.s6_addr),
                bytes.begin());
      out.push_back(net::ip::address_v6(bytes, in6->sin6_scope_id));
    }
  }
  freeifaddrs(list);
  return out;
}

std::string HostText(const net::ip::address& address) {
  if (address.is_v4()) return address.to_string();
  net::ip::address_v6 v6 = address.to_v6();
  v6.scope_id(0);  // a Host header carries no zone
  return "[" + v6.to_string() + "]";
}

// The Host names this machine answers to: loopback, its addresses, its host name.
HostPolicy OwnHosts(const RelayOptions& options, const std::vector<net::ip::address>& own) {
  HostPolicy policy;
  policy.names = {"localhost", "127.0.0.1", "[::1]"};
  for (const auto& address : own) policy.names.push_back(HostText(address));
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) == 0 && name[0] != '\0') {
    policy.names.push_back(Lower(name));
    policy.names.push_back(Lower(name) + ".local");  // the name mDNS gives it on a home network
  }
  for (const std::string& host : options.allow_hosts) policy.names.push_back(Lower(host));
  policy.origins = options.allow_origins;
  return policy;
}

// 128 bits from the kernel's CSPRNG, as 32 hexadecimal digits.
std::string NewToken() {
  unsigned char bytes[16];
  std::size_t have = 0;
  while (have < sizeof bytes) {
    const ssize_t n = getrandom(bytes + have, sizeof bytes - have, 0);
    if (n < 0) continue;  // EINTR; getrandom blocks only until the pool is first ready
    have += static_cast<std::size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  for (const unsigned char b : bytes) {
    token += kHex[b >> 4];
    token += kHex[b & 15];
  }
  return token;
}

}  // namespace

int RunRelay(const RelayOptions& given_options, std::ostream& out, std::ostream& err) {
  RelayOptions options = given_options;
  const bool network_mode = [&] {
    boost::system::error_code parse_ec;
    const auto address = net::ip::make_address(options.listen, parse_ec);
    return !parse_ec && !address.is_loopback();
  }();
  const bool token_generated = network_mode && options.token.empty();
  if (token_generated) options.token = NewToken();
  Relay relay(options, err);
  std::string error;
  boost::system::error_code ec;
  const auto colon = options.bridge.rfind(':');
  udp::resolver resolver(relay.io);
  const auto bridges = colon == std::string::npos
                           ? udp::resolver::results_type()
                           : resolver.resolve(udp::v4(), options.bridge.substr(0, colon),
                                              options.bridge.substr(colon + 1), ec);
  if (ec || bridges.empty()) {
    err << "relay: cannot resolve the bridge " << options.bridge << "\n";
    return 1;
  }
  const net::ip::address listen = net::ip::make_address(options.listen, ec);
  if (ec) {
    err << "relay: --listen " << options.listen << " is not an IP address\n";
    return 1;
  }
  relay.listen_loopback = listen.is_loopback();
  const std::vector<net::ip::address> own = OwnAddresses();
  relay.hosts = OwnHosts(options, own);
  if (!Open(relay, *bridges.begin(), listen, error)) {
    err << "relay: " << error << "\n";
    return 1;
  }
  const std::string where = listen.is_unspecified() ? " (all interfaces)" : "";
  const unsigned short http_port = relay.acceptor.local_endpoint(ec).port();
  // 0.0.0.0 is no address a browser can open: the page is named by one that answers.
  const std::string panel_host =
      listen.is_unspecified() ? std::string("127.0.0.1") : HostText(listen);
  out << "relay udp " << relay.downstream.local_endpoint(ec) << where << " bridge "
      << bridges.begin()->endpoint() << "\n"
      << "panel http://" << panel_host << ":" << http_port << "/" << where << "\n";
  if (network_mode) {
    // The addresses a phone on the same network can open, each with the token in the part of
    // the address that never leaves the browser (#).
    for (const auto& address : own) {
      if (!address.is_v4() || address.is_loopback()) continue;
      if (!listen.is_unspecified() && address != listen) continue;
      out << "panel http://" << HostText(address) << ":" << http_port << "/#token=" << options.token
          << "\n";
    }
    if (token_generated) {
      out << "token " << options.token << " (generated; --token TOKEN sets one)\n";
    }
  }
  out << std::flush;
  if (network_mode) {
    err << "relay: warning: serving the network. Commands from browsers need the token, but the "
           "UDP port "
        << relay.downstream.local_endpoint(ec).port()
        << " takes commands from anyone who can reach it, and the bridge's own port stays open "
           "to the network (it listens on all interfaces) unless a firewall closes it (README: "
           "\"Many viewers and a panel in the browser\")\n"
        << std::flush;
  }

  relay.signals.add(SIGINT);
  relay.signals.add(SIGTERM);
  relay.signals.async_wait([&relay](boost::system::error_code, int) { relay.io.stop(); });
  ReadUpstream(relay);
  ReadDownstream(relay);
  StartAccepting(relay);
  Housekeeping(relay);
  relay.io.run();
  return 0;
}

}  // namespace skyhelm::relay
