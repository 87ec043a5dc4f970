// Keeping the bridge's attention: the bridge sends only to whoever sent it the last datagram.
#pragma once

#include "tools/peer/line_tracker.h"
#include "tools/peer/peer_socket.h"

namespace skyhelm::peer {

// The datagram that makes its sender the peer and commands nothing.
inline constexpr const char* kClaimDatagram = "1";

// What a Tick did.
enum class ClaimSent {
  kNone,
  kAfterSilence,  // the first claim, or one after nothing arrived for `reclaim_after`
  kKeepAlive,     // lines were arriving; a relay forgets a subscriber that never speaks
};

// Sends "1" at the first Tick and again whenever nothing has arrived for `reclaim_after` (a second
// by default) since the last claim: the bridge may have started late, lost a datagram, or another
// peer may have taken over. While lines arrive it still sends one every `keep_alive`, so that a
// relay (which drops subscribers silent for a minute by default) keeps sending; to the bridge
// itself "1" commands nothing.
class PeerClaim {
 public:
  explicit PeerClaim(Clock::duration reclaim_after = std::chrono::seconds(1),
                     Clock::duration keep_alive = std::chrono::seconds(10))
      : reclaim_after_(reclaim_after), keep_alive_(keep_alive) {}

  ClaimSent Tick(PeerSocket& socket, const LineTracker& tracker, Clock::time_point now);

 private:
  Clock::duration reclaim_after_;
  Clock::duration keep_alive_;
  bool claimed_ = false;
  Clock::time_point last_claim_{};
};

// Tells another peer's takeover from a reader that was late, by when datagrams reached the socket
// (PeerSocket's arrival time), not when they were read. A late reader finds datagrams that arrived
// before its claim went out; a bridge that was sending elsewhere sends nothing until the claim
// reaches it, then answers within a pass.
class TakeoverWitness {
 public:
  explicit TakeoverWitness(Clock::duration answered_within) : answered_within_(answered_within) {}

  // The first claim after the stream broke off went out at `sent` (later ones are ignored until a
  // datagram arrives).
  void ClaimedAfterSilence(Clock::time_point sent);
  // A datagram that reached the socket at `arrived`. True when it tells a takeover: it is the first
  // to arrive since that claim, it arrived after the claim and within `answered_within` of it.
  bool Arrived(Clock::time_point arrived);

 private:
  Clock::duration answered_within_;
  bool pending_ = false;
  Clock::time_point claim_{};
};

}  // namespace skyhelm::peer
