// Periodic "1": soon while the bridge is silent, rarely while it sends.
#include "tools/peer/peer_claim.h"

namespace skyhelm::peer {

ClaimSent PeerClaim::Tick(PeerSocket& socket, const LineTracker& tracker, Clock::time_point now) {
  ClaimSent sent = ClaimSent::kAfterSilence;
  if (claimed_) {
    Clock::time_point quiet_since = last_claim_;
    if (tracker.last_datagram_time() && *tracker.last_datagram_time() > quiet_since) {
      quiet_since = *tracker.last_datagram_time();
    }
    if (now - quiet_since < reclaim_after_) {
      if (now - last_claim_ < keep_alive_) return ClaimSent::kNone;
      sent = ClaimSent::kKeepAlive;
    }
  }
  socket.Send(kClaimDatagram);
  claimed_ = true;
  last_claim_ = now;
  return sent;
}

void TakeoverWitness::ClaimedAfterSilence(Clock::time_point sent) {
  if (pending_) return;
  pending_ = true;
  claim_ = sent;
}

bool TakeoverWitness::Arrived(Clock::time_point arrived) {
  if (!pending_) return false;
  pending_ = false;
  return arrived >= claim_ && arrived - claim_ < answered_within_;
}

}  // namespace skyhelm::peer
