// Flight model properties, stepped in simulated time without a clock.
#include "simulator/flight_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace skyhelm::simulator {
namespace {

constexpr double kFrameS = 1.0 / 60.0;
constexpr double kPi = 3.14159265358979323846;

double HeadingDistance(double a_deg, double b_deg) {
  const double d = std::fabs(std::fmod(a_deg - b_deg + 540.0, 360.0) - 180.0);
  return d;
}

SimState HeadingHoldFrom(double heading_deg, double bug_deg) {
  SimState s;
  s.heading_true_deg = heading_deg;
  s.heading_bug_deg = bug_deg;
  s.autopilot_master = 1;
  s.heading_hold = 1;
  return s;
}

struct TurnCase {
  double from_deg;
  double to_deg;
  double speed_kt;
};

class HeadingHoldTurn : public ::testing::TestWithParam<TurnCase> {};

// A 90 degree turn at standard rate takes 30 s plus roll-in and roll-out; it must end on the bug
// without passing it by more than a couple of degrees, and never exceed the bank limit.
TEST_P(HeadingHoldTurn, TurnsAtStandardRateAndSettlesOnTheBug) {
  const TurnCase c = GetParam();
  SimState s = HeadingHoldFrom(c.from_deg, c.to_deg);
  s.ground_speed_kt = c.speed_kt;
  const double sign = std::fabs(std::fmod(c.to_deg - c.from_deg + 360.0, 360.0)) <= 180.0 ? 1 : -1;
  double max_bank = 0, max_overshoot = 0, settled_at_s = -1;
  for (int frame = 1; frame <= 60 * 90; ++frame) {
    StepFlightModel(s, kFrameS);
    max_bank = std::max(max_bank, std::fabs(s.bank_deg));
    const double error = std::fmod(c.to_deg - s.heading_true_deg + 540.0, 360.0) - 180.0;
    max_overshoot = std::max(max_overshoot, -sign * error);
    if (settled_at_s < 0 && s.heading_true_deg == c.to_deg) settled_at_s = frame * kFrameS;
  }
  const double turn_deg = HeadingDistance(c.from_deg, c.to_deg);
  // Fast aircraft reach the bank limit before a standard-rate turn.
  const double speed_ft_s = c.speed_kt * 6076.12 / 3600.0;
  const double rate_at_limit =
      std::tan(kMaxBankDeg * kPi / 180.0) * 32.174 / speed_ft_s * 180 / kPi;
  const double rate = std::min(kStandardRateDegPerS, rate_at_limit);
  EXPECT_EQ(s.heading_true_deg, c.to_deg);
  EXPECT_EQ(s.bank_deg, 0.0);
  EXPECT_LE(max_bank, kMaxBankDeg);
  EXPECT_LE(max_overshoot, 2.0);
  EXPECT_GE(settled_at_s, turn_deg / rate);
  EXPECT_LE(settled_at_s, turn_deg / rate + 15.0);
  RecordProperty("settled_s", std::to_string(settled_at_s));
  std::printf("turn %.0f->%.0f at %.0f kt: settled after %.1f s, max bank %.1f, overshoot %.2f\n",
              c.from_deg, c.to_deg, c.speed_kt, settled_at_s, max_bank, max_overshoot);
}

INSTANTIATE_TEST_SUITE_P(Turns, HeadingHoldTurn,
                         ::testing::Values(TurnCase{90, 180, 120}, TurnCase{90, 0, 120},
                                           TurnCase{350, 80, 120}, TurnCase{10, 280, 250},
                                           TurnCase{0, 5, 120}, TurnCase{180, 179, 90}));

struct CaptureCase {
  double from_ft;
  double to_ft;
  double vs_setting_fpm;
};

class AltitudeCapture : public ::testing::TestWithParam<CaptureCase> {};

TEST_P(AltitudeCapture, ReachesTheSelectedAltitudeWithoutOvershoot) {
  const CaptureCase c = GetParam();
  SimState s;
  s.altitude_ft = c.from_ft;
  s.altitude_setting_ft = c.to_ft;
  s.vs_setting_fpm = c.vs_setting_fpm;
  s.autopilot_master = 1;
  s.altitude_hold = 1;
  const double sign = c.to_ft > c.from_ft ? 1 : -1;
  double overshoot_ft = 0, max_vs = 0;
  for (int frame = 0; frame < 60 * 600; ++frame) {
    StepFlightModel(s, kFrameS);
    overshoot_ft = std::max(overshoot_ft, sign * (s.altitude_ft - c.to_ft));
    max_vs = std::max(max_vs, std::fabs(s.vertical_speed_fpm));
  }
  EXPECT_EQ(s.altitude_ft, c.to_ft);
  EXPECT_EQ(s.vertical_speed_fpm, 0.0);
  EXPECT_LE(overshoot_ft, 50.0);
  const double expected_rate =
      c.vs_setting_fpm != 0 ? std::fabs(c.vs_setting_fpm) : kDefaultClimbFpm;
  EXPECT_NEAR(max_vs, expected_rate, 1.0);
  std::printf("capture %.0f->%.0f ft at %.0f fpm: overshoot %.2f ft, max vs %.0f fpm\n", c.from_ft,
              c.to_ft, c.vs_setting_fpm, overshoot_ft, max_vs);
}

INSTANTIATE_TEST_SUITE_P(
    Captures, AltitudeCapture,
    ::testing::Values(CaptureCase{3000, 5000, 1500}, CaptureCase{3000, 2000, -700},
                      CaptureCase{3000, 4000, 0}, CaptureCase{3000, 9000, 6000},
                      CaptureCase{3000, 3100, 500}, CaptureCase{3000, 2500, 500}));

}  // namespace
}  // namespace skyhelm::simulator
