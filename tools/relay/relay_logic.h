// The relay's decisions as plain functions over plain data: who gets the line and when, who is
// dropped, when the bridge is claimed again. No sockets, no clocks of its own.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
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
};

// The subscribers, at most `capacity` of them; plain storage, order of arrival.
class SubscriberTable {
 public:
  explicit SubscriberTable(std::size_t capacity) : capacity_(capacity) {}

  // Any datagram from (address, port) subscribes or refreshes it. Nullptr when the table is
  // full and the sender is new.
  Subscriber* Heard(std::uint32_t address, std::uint16_t port, TimePoint now);
  // Drops everyone not heard from for longer than `silence`; returns how many went.
  std::size_t Expire(TimePoint now, Duration silence);

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

}  // namespace skyhelm::relay
