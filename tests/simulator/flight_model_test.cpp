// Flight model properties, stepped in simulated time without a clock.
#include "simulator/flight_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace skyhelm::simulator {
namespace {

constexpr double kFrameS = 1.0 / 60.0;

// A turn at standard rate (or at the bank limit when fast: 2.04 deg/s at 250 kt) takes at least
// turn/rate, plus roll-in and roll-out; it ends wings level on the bug, passing it by at most a
// couple of degrees. A right turn banks negative, a left one positive, as the simulator counts
// bank.
TEST(FlightModel, HeadingHoldTurnsAtStandardRateAndSettlesOnTheBug) {
  const struct {
    double from_deg, to_deg, speed_kt, ideal_s;
  } cases[] = {{90, 180, 120, 30},   {90, 0, 120, 30},     {350, 80, 120, 30},
               {10, 280, 250, 44.1}, {0, 5, 120, 5.0 / 3}, {180, 179, 90, 1.0 / 3}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.from_deg) + " to " + std::to_string(c.to_deg));
    SimState s;
    s.heading_true_deg = c.from_deg;
    s.heading_bug_deg = c.to_deg;
    s.ground_speed_kt = c.speed_kt;
    s.autopilot_master = s.heading_hold = 1;
    const double turn_deg = std::fmod(c.to_deg - c.from_deg + 540.0, 360.0) - 180.0;  // signed
    double max_bank = 0, max_overshoot = 0, settled_at_s = -1, wrong_way_bank = 0;
    for (int frame = 1; frame <= 60 * 90; ++frame) {
      StepFlightModel(s, kFrameS);
      max_bank = std::max(max_bank, std::fabs(s.bank_deg));
      wrong_way_bank = std::max(wrong_way_bank, turn_deg > 0 ? s.bank_deg : -s.bank_deg);
      const double left_deg = std::fmod(c.to_deg - s.heading_true_deg + 540.0, 360.0) - 180.0;
      max_overshoot = std::max(max_overshoot, turn_deg > 0 ? -left_deg : left_deg);
      if (settled_at_s < 0 && s.heading_true_deg == c.to_deg) settled_at_s = frame * kFrameS;
    }
    EXPECT_EQ(std::make_pair(s.heading_true_deg, s.bank_deg), std::make_pair(c.to_deg, 0.0));
    EXPECT_TRUE(max_bank > 0 && max_bank <= kMaxBankDeg) << max_bank;
    EXPECT_EQ(wrong_way_bank, 0.0);
    EXPECT_LE(max_overshoot, 2.0);
    EXPECT_TRUE(settled_at_s >= c.ideal_s && settled_at_s <= c.ideal_s + 15.0) << settled_at_s;
  }
}

// Climbs or descends at the selected rate (a default one when none is set) and levels off on the
// selected altitude.
TEST(FlightModel, AltitudeHoldReachesTheSelectedAltitudeWithoutOvershoot) {
  const struct {
    double to_ft, vs_setting_fpm;
  } cases[] = {{5000, 1500}, {2000, -700}, {4000, 0}, {9000, 6000}, {3100, 500}, {2500, 500}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.to_ft) + " ft at " + std::to_string(c.vs_setting_fpm));
    SimState s;
    s.altitude_ft = 3000;
    s.altitude_setting_ft = c.to_ft;
    s.vs_setting_fpm = c.vs_setting_fpm;
    s.autopilot_master = s.altitude_hold = 1;
    double overshoot_ft = 0, max_vs = 0;
    for (int frame = 0; frame < 60 * 600; ++frame) {
      StepFlightModel(s, kFrameS);
      overshoot_ft = std::max(overshoot_ft, (s.altitude_ft - c.to_ft) * (c.to_ft > 3000 ? 1 : -1));
      max_vs = std::max(max_vs, std::fabs(s.vertical_speed_fpm));
    }
    EXPECT_EQ(std::make_pair(s.altitude_ft, s.vertical_speed_fpm), std::make_pair(c.to_ft, 0.0));
    EXPECT_LE(overshoot_ft, 50.0);
    EXPECT_NEAR(max_vs, c.vs_setting_fpm != 0 ? std::fabs(c.vs_setting_fpm) : kDefaultClimbFpm,
                1.0);
  }
}

// One minute at 120 kt is two nautical miles: 1/30 degree of latitude north, or of longitude
// divided by the cosine of the latitude east. Meanwhile vertical speed hold flies the selected rate
// with the pitch on the flight path, and the gear, whose handle went down, travels all the way.
TEST(FlightModel, OneMinuteAlongTheHeadingAtTheSelectedVerticalSpeed) {
  for (const double heading_deg : {0.0, 90.0, 180.0, 270.0}) {
    SCOPED_TRACE(heading_deg);
    SimState s;
    s.heading_true_deg = heading_deg;
    s.latitude_deg = 60.0;
    s.longitude_deg = 10.0;
    s.autopilot_master = s.vs_hold = s.flight_director = 1;
    s.vs_setting_fpm = -500;
    s.gear_handle = 1;
    for (int frame = 1; frame <= 60 * 60; ++frame) {
      StepFlightModel(s, kFrameS);
      ASSERT_TRUE(frame > 60 * (kGearTravelS - 0.5) || s.gear_position < 1.0) << frame;
    }
    const double radians = heading_deg * 3.14159265358979323846 / 180.0;
    EXPECT_NEAR(s.latitude_deg - 60.0, std::cos(radians) / 30.0, 1e-6);
    EXPECT_NEAR(s.longitude_deg - 10.0, std::sin(radians) / 30.0 / 0.5, 1e-5);
    EXPECT_EQ(std::make_pair(s.heading_true_deg, s.vertical_speed_fpm),
              std::make_pair(heading_deg, -500.0));
    EXPECT_NEAR(s.pitch_deg, 2.356, 0.01);  // 500 fpm down at 120 kt: positive is nose down
    EXPECT_NEAR(s.fd_pitch_deg, s.pitch_deg, 1e-9);
    EXPECT_LT(s.altitude_ft, 2600.0);
    EXPECT_EQ(s.gear_position, 1.0);
  }
}

}  // namespace
}  // namespace skyhelm::simulator
