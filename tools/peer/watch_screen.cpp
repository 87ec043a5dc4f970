// Drawing of the live view.
#include "tools/peer/watch_screen.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

namespace skyhelm::peer {
namespace {

constexpr const char* kHome = "\x1b[H";
constexpr const char* kEndOfLine = "\x1b[K\r\n";
constexpr const char* kClearBelow = "\x1b[J";

// The two columns, most looked-at first. Together they hold every line field once.
constexpr const char* kLeftColumn[] = {"altitude", "ground_speed",  "true_heading", "bank",
                                       "pitch",    "gear_position", "latitude",     "longitude",
                                       "fd_pitch", "fd_bank"};
constexpr const char* kRightColumn[] = {"autopilot_master", "heading_bug",    "heading_hold",
                                        "altitude_setting", "altitude_hold",  "vs_setting",
                                        "vs_hold",          "speed_setting",  "speed_hold",
                                        "throttle_arm",     "flight_director"};
constexpr std::size_t kFieldRows = sizeof kRightColumn / sizeof kRightColumn[0];

std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string Printf(const char* format, ...) {
  char text[256];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

std::string Cell(const LineTracker& tracker, const char* name) {
  for (std::size_t i = 0; i < kTelemetryFieldCount; ++i) {
    const TelemetryField& field = kTelemetryFields[i];
    if (std::strcmp(field.name, name) != 0) continue;
    const auto& latest = tracker.latest();
    const std::string value = latest ? latest->texts[i] : "-";
    return Printf("%-16s %11s %-6s", field.name, value.c_str(), field.unit);
  }
  return {};
}

std::string HealthState(const WatchView& view) {
  const LineTracker& tracker = *view.tracker;
  if (view.silent) return "SILENT: no datagram (bridge stopped, or another peer took it)";
  if (!tracker.latest() && tracker.counts().no_data > 0) {
    return "no data yet: is the simulator running?";
  }
  if (!tracker.latest()) return "waiting for the bridge...";
  const double age_s =
      std::chrono::duration<double>(view.now - *tracker.last_new_line_time()).count();
  return Printf("newest distinct line %.2f s ago", age_s);
}

// `text` in rows of at most `width` bytes, broken at blanks where it can be (later rows indented),
// at most `max_rows` of them: a refusal's reason comes last and must not be cut off.
std::vector<std::string> Wrapped(const std::string& text, std::size_t width, std::size_t max_rows) {
  std::vector<std::string> rows;
  std::string rest = text;
  const std::string indent = "   ";
  while (!rest.empty() && rows.size() < max_rows) {
    const std::size_t room = rows.empty() ? width : width - indent.size();
    std::size_t cut = rest.size();
    if (rest.size() > room) {
      const std::size_t blank = rest.rfind(' ', room);
      cut = blank != std::string::npos && blank > room / 2 ? blank : room;
    }
    rows.push_back((rows.empty() ? "" : indent) + rest.substr(0, cut));
    rest.erase(0, cut);
    if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
  }
  return rows;
}

std::vector<std::string> Rows(const WatchView& view, std::size_t width) {
  const LineTracker& tracker = *view.tracker;
  std::vector<std::string> rows;
  rows.push_back("skyhelm-peer watch   bridge " + view.bridge_text);
  rows.emplace_back();
  for (std::size_t i = 0; i < kFieldRows; ++i) {
    const std::size_t left_count = sizeof kLeftColumn / sizeof kLeftColumn[0];
    const std::string left = i < left_count ? Cell(tracker, kLeftColumn[i]) : "";
    rows.push_back(Printf(" %-38s  %s", left.c_str(), Cell(tracker, kRightColumn[i]).c_str()));
  }
  rows.emplace_back();
  rows.push_back(Printf(" %.0f lines/s (%.0f distinct/s)  ", tracker.datagrams_per_s(),
                        tracker.distinct_per_s()) +
                 HealthState(view));
  const StreamCounts& counts = tracker.counts();
  rows.push_back(Printf(" malformed %llu   no-data %llu",
                        static_cast<unsigned long long>(counts.malformed),
                        static_cast<unsigned long long>(counts.no_data)) +
                 (tracker.last_problem().empty() ? "" : "   last: " + tracker.last_problem()));
  // The status may take the rows the terminal has beyond the smallest view.
  const auto spare = static_cast<std::size_t>(view.rows - kWatchMinRows);
  const std::vector<std::string> status = Wrapped(" " + view.status, width, 1 + spare);
  rows.insert(rows.end(), status.begin(), status.end());
  rows.push_back(" type a command, Enter sends it (h270 v-500 l3000 E); q or Ctrl-C quits");
  return rows;
}

}  // namespace

std::string RenderWatchScreen(const WatchView& view) {
  std::string out = kHome;
  const auto width = static_cast<std::size_t>(view.columns > 1 ? view.columns - 1 : 1);
  if (view.columns < kWatchMinColumns || view.rows < kWatchMinRows) {
    out += Printf("terminal too small: %dx%d, the view needs %dx%d", view.columns, view.rows,
                  kWatchMinColumns, kWatchMinRows)
               .substr(0, width);
    out += kEndOfLine;
    out += std::string("q quits").substr(0, width);
    out += kClearBelow;
    return out;
  }
  for (const std::string& row : Rows(view, width)) {
    out += row.substr(0, width);
    out += kEndOfLine;
  }
  // The prompt shows the end of a long input.
  const std::string prompt = "> " + view.input;
  out += prompt.size() > width ? prompt.substr(prompt.size() - width) : prompt;
  out += kClearBelow;
  return out;
}

}  // namespace skyhelm::peer
