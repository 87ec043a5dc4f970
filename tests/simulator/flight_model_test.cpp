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

void Fly(SimState& s, double seconds) {
  for (int frame = 0; frame < static_cast<int>(std::lround(seconds * 60)); ++frame) {
    StepFlightModel(s, kFrameS);
  }
}

TEST(FlightModel, GearTravelsInAboutFiveSeconds) {
  SimState s;
  s.gear_handle = 1;
  double down_at_s = -1;
  for (int frame = 1; frame <= 60 * 10 && down_at_s < 0; ++frame) {
    StepFlightModel(s, kFrameS);
    if (s.gear_position == 1.0) down_at_s = frame * kFrameS;
  }
  EXPECT_NEAR(down_at_s, kGearTravelS, 0.1);
  s.gear_handle = 0;
  Fly(s, 2.5);
  EXPECT_NEAR(s.gear_position, 0.5, 0.01);
  Fly(s, 3);
  EXPECT_EQ(s.gear_position, 0.0);
}

struct CourseCase {
  double heading_deg;
  double latitude_deg;
  double speed_kt;
};

TEST(FlightModel, PositionFollowsGroundSpeedAlongTheHeading) {
  const CourseCase cases[] = {{0, 47.0, 120}, {180, 10.0, 300}, {90, 60.0, 120}, {270, 0.0, 60}};
  for (const CourseCase& c : cases) {
    SimState s;
    s.heading_true_deg = c.heading_deg;
    s.latitude_deg = c.latitude_deg;
    s.longitude_deg = 10.0;
    s.ground_speed_kt = c.speed_kt;
    Fly(s, 60);
    const double degrees = c.speed_kt / 60.0 / 60.0;  // one minute at speed/60 nm per degree
    const double north = std::cos(c.heading_deg * kPi / 180.0) * degrees;
    const double east =
        std::sin(c.heading_deg * kPi / 180.0) * degrees / std::cos(c.latitude_deg * kPi / 180.0);
    EXPECT_NEAR(s.latitude_deg - c.latitude_deg, north, 1e-6) << c.heading_deg;
    EXPECT_NEAR(s.longitude_deg - 10.0, east, 1e-5) << c.heading_deg;
    EXPECT_EQ(s.heading_true_deg, c.heading_deg);
    EXPECT_EQ(s.altitude_ft, 3000.0);
  }
}

TEST(FlightModel, SpeedHoldNeedsMasterSpeedHoldAndThrottleArm) {
  for (int mask = 0; mask < 8; ++mask) {
    SimState s;
    s.autopilot_master = mask & 1;
    s.speed_hold = (mask >> 1) & 1;
    s.throttle_arm = (mask >> 2) & 1;
    s.speed_setting_kt = 150;
    Fly(s, 5);
    if (mask == 7) {
      EXPECT_NEAR(s.ground_speed_kt, 120 + 5 * kSpeedChangeKtPerS, 0.01);
      Fly(s, 30);
      EXPECT_EQ(s.ground_speed_kt, 150.0);
    } else {
      EXPECT_EQ(s.ground_speed_kt, 120.0) << mask;
    }
  }
}

TEST(FlightModel, VerticalSpeedHoldFliesTheSelectedRateWithPitchOnTheFlightPath) {
  SimState s;
  s.autopilot_master = 1;
  s.vs_hold = 1;
  s.vs_setting_fpm = -500;
  s.flight_director = 1;
  Fly(s, 60);
  EXPECT_EQ(s.vertical_speed_fpm, -500.0);
  // 500 fpm at 120 kt (12153 ft/min) is a 2.36 degree descent.
  EXPECT_NEAR(s.pitch_deg, -2.356, 0.01);
  EXPECT_NEAR(s.fd_pitch_deg, s.pitch_deg, 1e-9);
  EXPECT_LT(s.altitude_ft, 3000.0 - 400.0);
  s.autopilot_master = 0;  // hands off: the trimmed aircraft keeps descending
  Fly(s, 10);
  EXPECT_EQ(s.vertical_speed_fpm, -500.0);
}

TEST(FlightModel, FlightDirectorShowsTheCommandOnlyWhenOn) {
  SimState s = HeadingHoldFrom(90, 180);
  Fly(s, 1);
  EXPECT_EQ(s.fd_bank_deg, 0.0);
  s.flight_director = 1;
  Fly(s, 1.0 / 60);
  EXPECT_GT(s.fd_bank_deg, 15.0);        // commands the full standard-rate bank at once
  EXPECT_LT(s.bank_deg, s.fd_bank_deg);  // while the aircraft is still rolling in
}

TEST(FlightModel, WingsLevelWithoutHeadingHold) {
  SimState s;
  s.bank_deg = 20;
  Fly(s, 4.1);
  EXPECT_EQ(s.bank_deg, 0.0);
  const double heading = s.heading_true_deg;
  Fly(s, 10);
  EXPECT_EQ(s.heading_true_deg, heading);
}

TEST(FlightModel, LongStepsMatchManyShortOnes) {
  SimState one = HeadingHoldFrom(90, 180);
  SimState many = one;
  StepFlightModel(one, 10.0);
  Fly(many, 10.0);
  EXPECT_NEAR(one.heading_true_deg, many.heading_true_deg, 0.5);
  StepFlightModel(one, -1.0);  // ignored
  StepFlightModel(one, std::nan(""));
  EXPECT_TRUE(std::isfinite(one.heading_true_deg));
}

}  // namespace
}  // namespace skyhelm::simulator
