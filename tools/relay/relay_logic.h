// The relay's decisions as plain functions over plain data: who gets the line and when, who is
// dropped, when the bridge is claimed again. No sockets, no clocks of its own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace skyhelm::relay {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using Duration = Clock::duration;

// What one receiver (UDP subscriber or browser) has been sent so far.
struct DeliveryState {
  std::uint64_t line_seq = 0;  // sequence number of the line last sent; 0: nothing yet
  TimePoint sent_at{};
};

struct DeliveryPace {
  Duration min_interval;  // 1 / rate: no two lines closer than this
  Duration heartbeat;     // an unchanged line is repeated this often (zero: never)
};

struct DeliveryDecision {
  bool send_now = false;
  TimePoint retry_at{};  // when nothing is sent now but something will be due; TimePoint{}: never
};

// Line `line_seq` (0: none yet) is the newest. A new line goes out at once unless the previous
// one went out less than min_interval ago (then at sent_at + min_interval: the newest line then,
// intermediate ones are skipped); an unchanged line is repeated after `heartbeat`.
DeliveryDecision DecideDelivery(const DeliveryState& state, std::uint64_t line_seq, TimePoint now,
                                const DeliveryPace& pace);

// A UDP subscriber, keyed by its IPv4 address and port (both in network byte order).
struct Subscriber {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  TimePoint heard_at{};
  DeliveryState delivery;
  // Silent for longer than the expiry: its lines pause, so that a peer that resends "1" after
  // a second without datagrams (the bridge's own rule) answers and stays.
  bool probing = false;
};

// The subscribers, at most `capacity` of them; plain storage, order of arrival.
class SubscriberTable {
 public:
  explicit SubscriberTable(std::size_t capacity) : capacity_(capacity) {}

  // Any datagram from (address, port) subscribes or refreshes it. Nullptr when the table is
  // full and the sender is new.
  Subscriber* Heard(std::uint32_t address, std::uint16_t port, TimePoint now);
  // Pauses the lines of everyone not heard from for longer than `silence` (probing), and drops
  // those still silent `probe` later; returns how many went.
  std::size_t Expire(TimePoint now, Duration silence, Duration probe);

  std::vector<Subscriber>& items() { return items_; }
  std::size_t size() const { return items_.size(); }

 private:
  std::size_t capacity_;
  std::vector<Subscriber> items_;
};

// What the relay knows about the bridge.
enum class BridgeState {
  kWaiting,      // claimed, no datagram yet
  kLive,         // datagrams arriving
  kSilent,       // they stopped: bridge stopped, or another host took it
  kUnreachable,  // the last send was answered by "port unreachable": nothing on the bridge port
};

const char* BridgeStateName(BridgeState state);

struct UpstreamState {
  BridgeState state = BridgeState::kWaiting;
  bool claimed = false;
  TimePoint last_datagram{};
  TimePoint last_claim{};
  Duration claim_backoff{};  // current wait between unanswered claims
  std::uint64_t claims = 0;
  std::uint64_t takeovers = 0;  // silences that our next claim ended: another host had the bridge
  bool claim_pending = false;   // a claim was sent during a silence and not yet answered
};

struct ClaimPolicy {
  Duration silence;      // no datagram for this long: the bridge is silent
  Duration first_retry;  // first claim of a silence waits this long after the previous one
  Duration max_retry;    // unanswered claims back off, doubling, up to this
};

// Claims at the first call, then only while the bridge is silent or unreachable, at a
// backing-off pace. Returns true when "1" is to be sent now; updates `up` either way.
bool TickClaim(UpstreamState& up, TimePoint now, const ClaimPolicy& policy);
// A datagram from the bridge arrived.
void OnBridgeDatagram(UpstreamState& up, TimePoint now);
// The socket reported "port unreachable".
void OnBridgeRefused(UpstreamState& up);

// Compares a token in a time that depends only on the length of `given` (which its sender
// knows), never on where the first difference is or on the expected token's length.
bool TokenMatches(std::string_view expected, std::string_view given);

// Wrong tokens slow down: after the n-th failure in a row the next try waits
// kFirstWait * 2^(n-1), at most kMaxWait.
struct FailedTokens {
  int failures = 0;
  TimePoint next_try{};
};
inline constexpr Duration kTokenFirstWait = std::chrono::milliseconds(250);
inline constexpr Duration kTokenMaxWait = std::chrono::seconds(30);
// Time left before the next try is allowed; zero when it is.
Duration TokenWaitLeft(const FailedTokens& state, TimePoint now);
void OnTokenFailed(FailedTokens& state, TimePoint now);

// The same per remote address, so that new connections do not start afresh. Bounded: when full,
// the entry whose wait ended longest ago goes.
class FailedTokensByAddress {
 public:
  explicit FailedTokensByAddress(std::size_t capacity) : capacity_(capacity) {}
  FailedTokens& For(const std::string& address, TimePoint now);
  void Forget(const std::string& address) { items_.erase(address); }
  std::size_t size() const { return items_.size(); }

 private:
  std::size_t capacity_;
  std::unordered_map<std::string, FailedTokens> items_;
};

// A client's messages: a burst of `burst`, then `per_second`; beyond that refused. Generous for
// a thumb on a touch screen, and a flood that keeps going is closed (`flooding`).
struct MessageBudget {
  double tokens = -1;  // -1: full (not yet used)
  TimePoint at{};
  int refused_in_a_row = 0;
};
struct BudgetPolicy {
  double burst = 20;
  double per_second = 10;
  int close_after_refused = 200;
};
enum class BudgetVerdict { kAllowed, kRefused, kFlooding };
BudgetVerdict SpendMessage(MessageBudget& budget, TimePoint now, const BudgetPolicy& policy);

// Which Host and Origin headers the relay serves. A page from a name that an attacker points at
// this machine (DNS rebinding) is same-origin to itself, so the Host must be one of this
// machine's own names; an Origin must be the page the relay serves itself (the same host and
// port), or one the user allowed.
struct HostPolicy {
  std::vector<std::string> names;    // lower case, without port: "localhost", "127.0.0.1", ...
  std::vector<std::string> origins;  // exactly as a browser sends them: "http://dev.example:3000"
};
// `host` as in the Host header (name or address, optional ":port", "[v6]" form).
bool HostAllowed(const HostPolicy& policy, std::string_view host);
// `origin` absent: a program, not a browser page, nothing to protect from.
bool OriginAllowed(const HostPolicy& policy, const std::string* origin, std::string_view host);

// A line unchanged this long is "not changing" in the status frames: paused, parked, or a
// simulator that has gone (the bridge repeats its last line); no peer can tell which.
inline constexpr Duration kStillAfter = std::chrono::seconds(3);

}  // namespace skyhelm::relay
