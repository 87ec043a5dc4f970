// The bench's statistics and target verdicts: percentiles, summaries, ratios.
#include "bench/bench.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

namespace skyhelm::bench {
namespace {

std::vector<std::int64_t> OneTo(std::int64_t n) {
  std::vector<std::int64_t> values(static_cast<std::size_t>(n));
  std::iota(values.begin(), values.end(), 1);
  return values;
}

TEST(Stats, NearestRankPicksTheSmallestSampleCoveringTheFraction) {
  struct Case {
    std::int64_t n;
    double q;
    std::int64_t expected;
  };
  const Case cases[] = {{1000, 0.5, 500}, {1000, 0.99, 990}, {1000, 0.999, 999}, {1000, 1.0, 1000},
                        {1000, 0.0, 1},   {10, 0.99, 10},    {3, 0.5, 2},        {1, 0.999, 1},
                        {100, 1.5, 100},  {100, -1.0, 1},    {0, 0.5, 0}};
  for (const Case& c : cases) {
    EXPECT_EQ(NearestRank(OneTo(c.n), c.q), c.expected) << c.n << " samples, q " << c.q;
  }
}

TEST(Stats, SummaryIgnoresInputOrderAndConvertsToMicroseconds) {
  std::vector<std::int64_t> samples_ns = OneTo(10000);
  for (std::int64_t& sample : samples_ns) sample *= 1000;  // 1..10000 microseconds
  std::shuffle(samples_ns.begin(), samples_ns.end(), std::mt19937(7));
  const LatencySummary s = Summarize(samples_ns);
  EXPECT_EQ(std::vector<double>({static_cast<double>(s.count), s.min_us, s.p50_us, s.p99_us,
                                 s.p999_us, s.max_us, s.mean_us}),
            std::vector<double>({10000, 1, 5000, 9900, 9990, 10000, 5000.5}));
  EXPECT_EQ(Summarize({}).count, 0u);
  EXPECT_DOUBLE_EQ(RatioToFloor(30.0, 20.0), 1.5);
  EXPECT_TRUE(std::isnan(RatioToFloor(30.0, 0.0)));
}

// A run whose figures sit just inside every target.
BenchResults RunInsideTargets() {
  BenchResults r;
  r.udp_floor.summary = {1000, 5, 12, 10, 40, 80, 100};
  r.tcp_floor.summary = {1000, 5, 12, 10, 40, 80, 100};
  r.command.summary = {1000, 20, 35, 40, 120, 200, 300};
  r.bare_loop = {10000, 1.0, 100000000};                      // 10000 passes/s, 10 us per pass
  r.idle = {9000, 1.0, 107000000};                            // 9000 passes/s, 11.9 us per pass
  r.freshness.summary = {1000, 50, 100, 150, 190, 300, 400};  // pass 111 us + floor 80 us
  r.peak_rss_kib = 4095;
  r.allocations.measured = true;
  r.allocations.passes_first = 1000;
  r.allocations.passes_second = 2000;
  return r;
}

// Row 0 changes nothing; row i (1..7) moves target i-1's figure just outside its limit, which
// must fail that target and no other.
TEST(Targets, EachFigureJustOutsideFailsOnlyItsOwnTarget) {
  using Change = void (*)(BenchResults&);
  const Change changes[] = {
      [](BenchResults&) {},
      [](BenchResults& r) { r.command.summary.p50_us = 40.5; },
      [](BenchResults& r) { r.command.summary.p99_us = 120.5; },
      [](BenchResults& r) { r.freshness.summary.p99_us = 192.0; },
      [](BenchResults& r) { r.idle.passes = 8990; },
      [](BenchResults& r) { r.idle.cpu_ns = 108200000; },
      [](BenchResults& r) { r.allocations.allocations_second = 1; },
      [](BenchResults& r) { r.peak_rss_kib = 4096; },
  };
  for (std::size_t i = 0; i < std::size(changes); ++i) {
    BenchResults r = RunInsideTargets();
    changes[i](r);
    const std::vector<TargetVerdict> verdicts = JudgeTargets(r);
    ASSERT_EQ(verdicts.size(), std::size(changes) - 1);
    for (std::size_t j = 0; j < verdicts.size(); ++j) {
      EXPECT_TRUE(verdicts[j].judged) << verdicts[j].name;
      EXPECT_EQ(verdicts[j].met, i != j + 1) << "row " << i << " judged by " << verdicts[j].name;
    }
  }
  for (const TargetVerdict& v : JudgeTargets(BenchResults{})) EXPECT_FALSE(v.judged) << v.name;
}

}  // namespace
}  // namespace skyhelm::bench
