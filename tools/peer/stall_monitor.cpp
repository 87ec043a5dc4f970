// State changes of the datagram stream, as warnings.
#include "tools/peer/stall_monitor.h"

#include <cstdio>

namespace skyhelm::peer {
namespace {

std::string Seconds(Clock::duration duration) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", std::chrono::duration<double>(duration).count());
  return text;
}

}  // namespace

std::string StallMonitor::Check(const LineTracker& tracker, Clock::time_point now) {
  const auto last_datagram = tracker.last_datagram_time();
  if (!last_datagram) return "";
  const bool silent_now = now - *last_datagram >= threshold_;
  if (silent_now != silent_) {
    silent_ = silent_now;
    return silent_ ? "no line from the bridge for " + Seconds(now - *last_datagram) +
                         " (has it stopped, or has another peer taken it over?); "
                         "sending \"1\" every second to take it back"
                   : "lines arriving again";
  }
  if (silent_) return "";
  const auto last_new = tracker.last_new_line_time();
  const bool frozen_now = last_new && now - *last_new >= threshold_;
  if (frozen_now != frozen_) {
    frozen_ = frozen_now;
    return frozen_ ? "the bridge has repeated the same line for " + Seconds(now - *last_new) +
                         " (is the simulator paused or disconnected?)"
                   : "new lines arriving again";
  }
  return "";
}

}  // namespace skyhelm::peer
