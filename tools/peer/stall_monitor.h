// Notices when the bridge falls silent or keeps repeating one line, and when that ends.
#pragma once

#include <string>

#include "tools/peer/line_tracker.h"

namespace skyhelm::peer {

class StallMonitor {
 public:
  explicit StallMonitor(Clock::duration threshold) : threshold_(threshold) {}

  // A warning to print when the stream changed state since the last call ("" otherwise): no
  // datagram for the threshold (silent), or only repeats of one line for it (frozen), or the
  // end of either. Silence hides a freeze: a silent bridge repeats nothing.
  std::string Check(const LineTracker& tracker, Clock::time_point now);

  bool silent() const { return silent_; }
  bool frozen() const { return frozen_; }

 private:
  Clock::duration threshold_;
  bool silent_ = false;
  bool frozen_ = false;
};

}  // namespace skyhelm::peer
