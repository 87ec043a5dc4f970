// The stream bookkeeping: what counts as new, repeated, empty or malformed, the rates, the stalls.
#include "tools/peer/line_tracker.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/peer/stall_monitor.h"

namespace skyhelm::peer {
namespace {

using std::chrono::milliseconds;

std::string Line(int altitude_ft) {
  return "v1.2,120," + std::to_string(altitude_ft) +
         ",0.000000,0.000000,0.000000,0.000000,270,1,140,0,1,1,1,700,1,900,0,47.250000,"
         "-122.500000,268,1.000000,\n\r\n";
}

struct StreamCase {
  const char* name;
  std::vector<std::string> datagrams;
  std::vector<Arrival> arrivals;
  StreamCounts counts;  // datagrams, distinct, duplicates, no_data, malformed
};

class Streams : public ::testing::TestWithParam<StreamCase> {};

TEST_P(Streams, ClassifiesEveryDatagram) {
  const StreamCase& c = GetParam();
  LineTracker tracker;
  const Clock::time_point t0{};
  for (std::size_t i = 0; i < c.datagrams.size(); ++i) {
    EXPECT_EQ(tracker.Feed(c.datagrams[i], t0 + milliseconds(i)), c.arrivals[i]) << "#" << i;
  }
  const StreamCounts& got = tracker.counts();
  EXPECT_EQ(got.datagrams, c.counts.datagrams);
  EXPECT_EQ(got.distinct_lines, c.counts.distinct_lines);
  EXPECT_EQ(got.duplicates, c.counts.duplicates);
  EXPECT_EQ(got.no_data, c.counts.no_data);
  EXPECT_EQ(got.malformed, c.counts.malformed);
}

const Arrival kNew = Arrival::kNewLine;
const Arrival kDup = Arrival::kDuplicate;
const Arrival kNone = Arrival::kNoData;
const Arrival kBad = Arrival::kMalformed;

INSTANTIATE_TEST_SUITE_P(LineTracker, Streams,
                         ::testing::Values(StreamCase{"repeats_are_duplicates",
                                                      {Line(1), Line(1), Line(1), Line(2), Line(2)},
                                                      {kNew, kDup, kDup, kNew, kDup},
                                                      {5, 2, 3, 0, 0}},
                                           StreamCase{"no_data_then_lines",
                                                      {"\r\n", "\r\n", Line(1), Line(1)},
                                                      {kNone, kNone, kNew, kDup},
                                                      {4, 1, 1, 2, 0}},
                                           StreamCase{"repeated_malformed_counts_each_time",
                                                      {"junk", "junk", Line(1), "junk"},
                                                      {kBad, kBad, kNew, kBad},
                                                      {4, 1, 0, 0, 3}},
                                           StreamCase{"a_line_after_something_else_is_new_again",
                                                      {Line(1), "junk", Line(1)},
                                                      {kNew, kBad, kNew},
                                                      {3, 2, 0, 0, 1}}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

TEST(LineTracker, RatesCoverTheLastCompletedWindow) {
  LineTracker tracker;
  const Clock::time_point t0{};
  tracker.UpdateRates(t0);
  for (int i = 0; i < 100; ++i) tracker.Feed(Line(i / 10), t0 + milliseconds(i * 10));
  tracker.UpdateRates(t0 + milliseconds(500));
  EXPECT_EQ(tracker.datagrams_per_s(), 0);  // the window is not over yet
  tracker.UpdateRates(t0 + milliseconds(2000));
  EXPECT_DOUBLE_EQ(tracker.datagrams_per_s(), 50);
  EXPECT_DOUBLE_EQ(tracker.distinct_per_s(), 5);
  tracker.UpdateRates(t0 + milliseconds(3000));
  EXPECT_EQ(tracker.datagrams_per_s(), 0);  // nothing arrived in the next window
}

struct StallStep {
  int feed_at_ms;  // -1: nothing fed
  int line;        // which line to feed
  int check_at_ms;
  const char* expected;  // substring of the warning; "" for none
};

TEST(StallMonitor, WarnsOnceWhenSilentOrFrozenAndWhenItEnds) {
  const std::vector<StallStep> steps = {
      {0, 1, 0, ""},
      {500, 1, 900, ""},
      {-1, 0, 1600, "no line from the bridge"},
      {-1, 0, 1700, ""},
      {1800, 1, 1800, "lines arriving again"},
      {1900, 1, 2000, "repeated the same line"},  // line 1 has been new since 0 ms
      {2100, 1, 2200, ""},
      {2300, 2, 2300, "new lines arriving again"},
  };
  LineTracker tracker;
  StallMonitor monitor(milliseconds(1000));
  const Clock::time_point t0{};
  for (const StallStep& step : steps) {
    if (step.feed_at_ms >= 0) tracker.Feed(Line(step.line), t0 + milliseconds(step.feed_at_ms));
    const std::string warning = monitor.Check(tracker, t0 + milliseconds(step.check_at_ms));
    if (std::string(step.expected).empty()) {
      EXPECT_EQ(warning, "") << "at " << step.check_at_ms;
    } else {
      EXPECT_NE(warning.find(step.expected), std::string::npos)
          << "at " << step.check_at_ms << ": " << warning;
    }
  }
}

}  // namespace
}  // namespace skyhelm::peer
