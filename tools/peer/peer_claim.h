// Keeping the bridge's attention: the bridge sends only to whoever sent it the last datagram.
#pragma once

#include "tools/peer/line_tracker.h"
#include "tools/peer/peer_socket.h"

namespace skyhelm::peer {

// The datagram that makes its sender the peer and commands nothing.
inline constexpr const char* kClaimDatagram = "1";

// Sends "1" at the first Tick and again whenever nothing has arrived for `reclaim_after` (a second
// by default) since the last claim: the bridge may have started late, lost a datagram, or another
// peer may have taken over.
class PeerClaim {
 public:
  explicit PeerClaim(Clock::duration reclaim_after = std::chrono::seconds(1))
      : reclaim_after_(reclaim_after) {}

  // True when it sent a claim on this call.
  bool Tick(PeerSocket& socket, const LineTracker& tracker, Clock::time_point now);

 private:
  Clock::duration reclaim_after_;
  bool claimed_ = false;
  Clock::time_point last_claim_{};
};

}  // namespace skyhelm::peer
