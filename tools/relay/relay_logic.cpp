// Fan-out pacing, subscriber expiry and the claim policy.
#include "tools/relay/relay_logic.h"

#include <algorithm>

namespace skyhelm::relay {

DeliveryDecision DecideDelivery(const DeliveryState& state, std::uint64_t line_seq, TimePoint now,
                                const DeliveryPace& pace) {
  DeliveryDecision decision;
  if (line_seq == 0) return decision;
  if (state.line_seq == 0) {
    decision.send_now = true;
    return decision;
  }
  Duration wait = pace.min_interval;
  if (line_seq == state.line_seq) {
    if (pace.heartbeat == Duration::zero()) return decision;
    wait = std::max(pace.heartbeat, pace.min_interval);
  }
  const TimePoint due = state.sent_at + wait;
  if (now >= due) {
    decision.send_now = true;
  } else {
    decision.retry_at = due;
  }
  return decision;
}

Subscriber* SubscriberTable::Heard(std::uint32_t address, std::uint16_t port, TimePoint now) {
  for (Subscriber& s : items_) {
    if (s.address == address && s.port == port) {
      s.heard_at = now;
      return &s;
    }
  }
  if (items_.size() >= capacity_) return nullptr;
  Subscriber s;
  s.address = address;
  s.port = port;
  s.heard_at = now;
  items_.push_back(s);
  return &items_.back();
}

std::size_t SubscriberTable::Expire(TimePoint now, Duration silence) {
  const auto gone = std::remove_if(items_.begin(), items_.end(),
                                   [&](const Subscriber& s) { return now - s.heard_at > silence; });
  const auto count = static_cast<std::size_t>(items_.end() - gone);
  items_.erase(gone, items_.end());
  return count;
}

const char* BridgeStateName(BridgeState state) {
  switch (state) {
    case BridgeState::kWaiting:
      return "waiting";
    case BridgeState::kLive:
      return "live";
    case BridgeState::kSilent:
      return "silent";
    case BridgeState::kUnreachable:
      return "unreachable";
  }
  return "unknown";
}

bool TickClaim(UpstreamState& up, TimePoint now, const ClaimPolicy& policy) {
  if (up.state == BridgeState::kLive && now - up.last_datagram > policy.silence) {
    up.state = BridgeState::kSilent;
    up.claim_backoff = policy.first_retry;
  }
  bool claim = !up.claimed;
  if (up.claimed && up.state != BridgeState::kLive) {
    // While waiting for a first datagram the pace is the same as during a silence.
    if (up.claim_backoff == Duration::zero()) up.claim_backoff = policy.first_retry;
    const TimePoint since = std::max(up.last_claim, up.last_datagram);
    if (now - since >= up.claim_backoff) {
      claim = true;
      up.claim_backoff = std::min(up.claim_backoff * 2, policy.max_retry);
    }
  }
  if (!claim) return false;
  up.claim_pending = up.claimed && up.state == BridgeState::kSilent;
  up.claimed = true;
  up.last_claim = now;
  ++up.claims;
  return true;
}

void OnBridgeDatagram(UpstreamState& up, TimePoint now) {
  // Lines that come back right after our claim were going to someone else in the meantime.
  if (up.state == BridgeState::kSilent && up.claim_pending) ++up.takeovers;
  up.claim_pending = false;
  up.state = BridgeState::kLive;
  up.last_datagram = now;
  up.claim_backoff = Duration::zero();
}

void OnBridgeRefused(UpstreamState& up) {
  up.state = BridgeState::kUnreachable;
  up.claim_pending = false;
}

}  // namespace skyhelm::relay
