// Follows the stream of datagrams from the bridge: which are new lines, repeats, empty or
// malformed, and how fast they come. Pure logic over (datagram, time) pairs.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tools/peer/line_decoder.h"

namespace skyhelm::peer {

using Clock = std::chrono::steady_clock;

enum class Arrival {
  kNewLine,    // a valid line that differs from the previous datagram
  kDuplicate,  // a valid line identical to the previous datagram
  kNoData,     // a bare "\r\n"
  kMalformed,  // counted once per datagram, repeats included
};

struct StreamCounts {
  std::uint64_t datagrams = 0;
  std::uint64_t distinct_lines = 0;
  std::uint64_t duplicates = 0;
  std::uint64_t no_data = 0;
  std::uint64_t malformed = 0;
};

class LineTracker {
 public:
  // Decodes only datagrams that differ from the previous one; a repeat reuses its verdict, so a
  // stream of thousands of identical lines a second costs one comparison each.
  Arrival Feed(std::string_view datagram, Clock::time_point now);

  const StreamCounts& counts() const { return counts_; }
  // The newest valid line, if any has arrived.
  const std::optional<TelemetryValues>& latest() const { return latest_; }
  // The description of the newest malformed datagram ("" if none).
  const std::string& last_problem() const { return last_problem_; }
  std::optional<Clock::time_point> last_datagram_time() const { return last_datagram_time_; }
  std::optional<Clock::time_point> last_new_line_time() const { return last_new_line_time_; }

  // Datagrams and distinct lines per second over the last completed window of at least a second;
  // 0 until one has completed. Call regularly (it also closes windows when nothing arrives).
  void UpdateRates(Clock::time_point now);
  double datagrams_per_s() const { return datagrams_per_s_; }
  double distinct_per_s() const { return distinct_per_s_; }

 private:
  StreamCounts counts_;
  std::string previous_;
  std::optional<Arrival> previous_verdict_;
  std::optional<TelemetryValues> latest_;
  std::string last_problem_;
  std::optional<Clock::time_point> last_datagram_time_;
  std::optional<Clock::time_point> last_new_line_time_;

  std::optional<Clock::time_point> window_start_;
  StreamCounts window_start_counts_;
  double datagrams_per_s_ = 0;
  double distinct_per_s_ = 0;
};

}  // namespace skyhelm::peer
