// Fan-out pacing, subscriber expiry and the claim policy.
#include "tools/relay/relay_logic.h"

#include <algorithm>
#include <cctype>

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

std::size_t SubscriberTable::Expire(TimePoint now, Duration silence, Duration probe) {
  for (Subscriber& s : items_) s.probing = now - s.heard_at > silence;
  const auto gone = std::remove_if(items_.begin(), items_.end(), [&](const Subscriber& s) {
    return now - s.heard_at > silence + probe;
  });
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

bool TokenMatches(std::string_view expected, std::string_view given) {
  // Every byte of `given` is compared against the expected token repeated, and the lengths
  // join the result, so neither a near miss nor a wrong length answers sooner.
  std::size_t diff = expected.size() ^ given.size();
  if (expected.empty()) return false;
  for (std::size_t i = 0; i < given.size(); ++i) {
    diff |= static_cast<std::size_t>(static_cast<unsigned char>(expected[i % expected.size()]) ^
                                     static_cast<unsigned char>(given[i]));
  }
  return diff == 0;
}

Duration TokenWaitLeft(const FailedTokens& state, TimePoint now) {
  return state.failures == 0 || now >= state.next_try ? Duration::zero() : state.next_try - now;
}

void OnTokenFailed(FailedTokens& state, TimePoint now) {
  ++state.failures;
  Duration wait = kTokenFirstWait;
  for (int i = 1; i < state.failures && wait < kTokenMaxWait; ++i) wait *= 2;
  state.next_try = now + std::min(wait, kTokenMaxWait);
}

FailedTokens& FailedTokensByAddress::For(const std::string& address, TimePoint now) {
  const auto found = items_.find(address);
  if (found != items_.end()) return found->second;
  if (items_.size() >= capacity_) {
    auto oldest = items_.begin();
    for (auto it = items_.begin(); it != items_.end(); ++it) {
      if (it->second.next_try < oldest->second.next_try) oldest = it;
    }
    // A wait still running is kept: a flood of addresses must not wash out the one that tries.
    if (oldest->second.next_try > now) return oldest->second;
    items_.erase(oldest);
  }
  return items_[address];
}

BudgetVerdict SpendMessage(MessageBudget& budget, TimePoint now, const BudgetPolicy& policy) {
  if (budget.tokens < 0) {
    budget.tokens = policy.burst;
  } else {
    const double seconds = std::chrono::duration<double>(now - budget.at).count();
    budget.tokens = std::min(policy.burst, budget.tokens + seconds * policy.per_second);
  }
  budget.at = now;
  if (budget.tokens >= 1) {
    budget.tokens -= 1;
    budget.refused_in_a_row = 0;
    return BudgetVerdict::kAllowed;
  }
  ++budget.refused_in_a_row;
  return budget.refused_in_a_row >= policy.close_after_refused ? BudgetVerdict::kFlooding
                                                               : BudgetVerdict::kRefused;
}

namespace {

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// "name:8047" -> "name", "[::1]:8047" -> "[::1]"; a trailing dot of a fully qualified name goes.
std::string HostName(std::string_view host) {
  std::string name = Lower(host);
  const auto colon = name.rfind(':');
  if (colon != std::string::npos && name.find(']', colon) == std::string::npos) name.resize(colon);
  if (!name.empty() && name.back() == '.') name.pop_back();
  return name;
}

}  // namespace

bool HostAllowed(const HostPolicy& policy, std::string_view host) {
  const std::string name = HostName(host);
  if (name.empty()) return false;
  return std::find(policy.names.begin(), policy.names.end(), name) != policy.names.end();
}

bool OriginAllowed(const HostPolicy& policy, const std::string* origin, std::string_view host) {
  if (origin == nullptr) return true;
  if (std::find(policy.origins.begin(), policy.origins.end(), *origin) != policy.origins.end()) {
    return true;
  }
  // The relay's own page: the origin names the very host and port the request went to.
  const std::string own = Lower(*origin);
  return own.rfind("http://", 0) == 0 && own.substr(7) == Lower(host) && HostAllowed(policy, host);
}

}  // namespace skyhelm::relay
