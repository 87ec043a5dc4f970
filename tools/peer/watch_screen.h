// The live view's frame: every field with name, value and unit in two columns (the flight
// values left, the autopilot right), the stream's rates and health, and the command line. Pure: the
// same inputs give the same bytes.
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
  int columns = 80;     // the terminal's size
  int rows = 24;
};

// The smallest terminal the view fits in; below it the view says so instead.
inline constexpr int kWatchMinColumns = 80;
inline constexpr int kWatchMinRows = 19;

// ANSI text that redraws the whole view from the top-left corner, clearing what each line and
// the rest of the screen held before, so it can be written over the previous frame.
std::string RenderWatchScreen(const WatchView& view);

}  // namespace skyhelm::peer
