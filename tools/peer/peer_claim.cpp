// Periodic "1" while the bridge is silent.
#include "tools/peer/peer_claim.h"

namespace skyhelm::peer {

bool PeerClaim::Tick(PeerSocket& socket, const LineTracker& tracker, Clock::time_point now) {
  if (claimed_) {
    Clock::time_point quiet_since = last_claim_;
    if (tracker.last_datagram_time() && *tracker.last_datagram_time() > quiet_since) {
      quiet_since = *tracker.last_datagram_time();
    }
    if (now - quiet_since < reclaim_after_) return false;
  }
  socket.Send(kClaimDatagram);
  claimed_ = true;
  last_claim_ = now;
  return true;
}

}  // namespace skyhelm::peer
