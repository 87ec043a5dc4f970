// The live view's frame: every field with name, value and unit, the stream's rates and health,
// and the command line. Pure: the same inputs give the same bytes.
#pragma once

#include <string>

#include "tools/peer/line_tracker.h"

namespace skyhelm::peer {

struct WatchView {
  std::string bridge_text;
  const LineTracker* tracker = nullptr;
  Clock::time_point now{};
  bool silent = false;  // no datagram for a while (see StallMonitor)
  std::string status;   // the last thing the view did, e.g. "sent h270"
  std::string input;    // the command being typed
};

// ANSI text that redraws the whole view from the top-left corner, clearing what each line and
// the rest of the screen held before, so it can be written over the previous frame.
std::string RenderWatchScreen(const WatchView& view);

}  // namespace skyhelm::peer
