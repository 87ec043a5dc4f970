// Drawing of the live view.
#include "tools/peer/watch_screen.h"

#include <cstdarg>
#include <cstdio>

namespace skyhelm::peer {
namespace {

constexpr const char* kHome = "\x1b[H";
constexpr const char* kEndOfLine = "\x1b[K\r\n";
constexpr const char* kClearBelow = "\x1b[J";

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Printf(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

std::string FieldRows(const LineTracker& tracker) {
  std::string out;
  const auto& latest = tracker.latest();
  for (std::size_t i = 0; i < kTelemetryFieldCount; ++i) {
    const TelemetryField& field = kTelemetryFields[i];
    const std::string value = latest ? latest->texts[i] : "-";
    out += Printf("  %-18s %14s  %s", field.name, value.c_str(), field.unit);
    out += kEndOfLine;
  }
  return out;
}

std::string HealthRows(const WatchView& view) {
  const LineTracker& tracker = *view.tracker;
  std::string state;
  if (view.silent) {
    state = "SILENT: no datagram from the bridge (stopped, or another peer took it over)";
  } else if (!tracker.latest() && tracker.counts().no_data > 0) {
    state = "no data yet: the bridge has no telemetry (is the simulator running?)";
  } else if (!tracker.latest()) {
    state = "waiting for the bridge...";
  } else {
    const double age_s =
        std::chrono::duration<double>(view.now - *tracker.last_new_line_time()).count();
    state = Printf("newest distinct line %.2f s ago", age_s);
  }
  const StreamCounts& counts = tracker.counts();
  return Printf("  %.0f lines/s (%.0f distinct/s)   ", tracker.datagrams_per_s(),
                tracker.distinct_per_s()) +
         state + kEndOfLine +
         Printf("  malformed %llu   no-data %llu",
                static_cast<unsigned long long>(counts.malformed),
                static_cast<unsigned long long>(counts.no_data)) +
         (tracker.last_problem().empty() ? "" : "   last: " + tracker.last_problem()) + kEndOfLine;
}

}  // namespace

std::string RenderWatchScreen(const WatchView& view) {
  std::string out = kHome;
  out += "skyhelm-peer watch   bridge " + view.bridge_text + kEndOfLine + kEndOfLine;
  out += FieldRows(*view.tracker);
  out += kEndOfLine;
  out += HealthRows(view);
  out += "  " + view.status + kEndOfLine + kEndOfLine;
  out += "  type a command and press Enter (h270, v-500, l3000, E ...); q quits";
  out += kEndOfLine;
  out += "> " + view.input;
  out += kClearBelow;
  return out;
}

}  // namespace skyhelm::peer
