// Point-mass flight model: autopilot laws, then integration of attitude, speed and position.
#include "simulator/flight_model.h"

#include <algorithm>
#include <cmath>

namespace skyhelm::simulator {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kGravityFtPerS2 = 32.174;
constexpr double kFtPerSPerKt = 6076.12 / 3600.0;
constexpr double kNmPerDegLatitude = 60.0;
// Time constant of the final heading correction.
constexpr double kHeadingCloseS = 1.5;
// Heading error and bank below which the heading hold counts as settled on the bug.
constexpr double kHeadingSettledDeg = 0.05;
constexpr double kBankSettledDeg = 0.2;
// Altitude capture: the commanded vertical speed never asks for more deceleration than this,
// and within a few feet it closes the gap in about kCaptureTimeS.
constexpr double kCaptureDecelFpmPerS = 0.5 * kVsChangeFpmPerS;
constexpr double kCaptureTimeS = 3.0;
constexpr double kAltitudeSettledFt = 0.5;
// One call never integrates more than this, however long the pause was.
constexpr double kMaxFrameS = 3600.0;

double Radians(double deg) { return deg * kPi / 180.0; }
double Degrees(double rad) { return rad * 180.0 / kPi; }
bool On(double a_switch) { return a_switch != 0.0; }

// Heading difference target - current in (-180, 180].
double HeadingError(double target_deg, double current_deg) {
  double error = std::fmod(target_deg - current_deg, 360.0);
  if (error > 180.0) error -= 360.0;
  if (error <= -180.0) error += 360.0;
  return error;
}

double NormalisedHeading(double heading_deg) {
  double h = std::fmod(heading_deg, 360.0);
  if (h < 0.0) h += 360.0;
  return h >= 360.0 ? 0.0 : h;
}

double MoveToward(double value, double target, double max_change) {
  return value + std::clamp(target - value, -max_change, max_change);
}

double SpeedFtPerS(const SimState& s) { return std::max(s.ground_speed_kt, 0.0) * kFtPerSPerKt; }

// The bank that gives a standard-rate turn at the current speed, within the bank limit.
double BankLimitDeg(const SimState& s) {
  const double rate = Radians(kStandardRateDegPerS);
  return std::min(kMaxBankDeg, Degrees(std::atan(SpeedFtPerS(s) * rate / kGravityFtPerS2)));
}

bool HeadingHoldActive(const SimState& s) { return On(s.autopilot_master) && On(s.heading_hold); }

// Turn rate per degree of bank at the current speed (small-angle), in 1/s.
double TurnPerBank(const SimState& s) { return kGravityFtPerS2 / std::max(SpeedFtPerS(s), 1.0); }

// Banks no further than can be rolled out at 80% of the roll rate before the bug, and close in
// shrinks the error with a fixed time constant, so the turn ends on the bug without overshoot.
double CommandedBankDeg(const SimState& s) {
  if (!HeadingHoldActive(s)) return 0.0;
  const double error = HeadingError(s.heading_bug_deg, s.heading_true_deg);
  const double turn_per_bank = TurnPerBank(s);
  const double rollout_deg = std::sqrt(1.6 * kRollRateDegPerS * std::fabs(error) / turn_per_bank);
  const double linear_deg = std::fabs(error) / (turn_per_bank * kHeadingCloseS);
  // A turn to the right (positive error) is a negative bank: the simulator counts left positive.
  return 0.0 - std::copysign(std::min({BankLimitDeg(s), rollout_deg, linear_deg}), error);
}

// Vertical speed that reaches the selected altitude at `rate_fpm` and stops on it: limited so the
// remaining gap can always be closed at the capture deceleration, and linear close in.
double CaptureVsFpm(const SimState& s, double rate_fpm) {
  const double gap_ft = s.altitude_setting_ft - s.altitude_ft;
  const double braking_fpm =
      60.0 * std::sqrt(2.0 * (kCaptureDecelFpmPerS / 60.0) * std::fabs(gap_ft));
  const double linear_fpm = 60.0 * std::fabs(gap_ft) / kCaptureTimeS;
  return std::copysign(std::min({rate_fpm, braking_fpm, linear_fpm}), gap_ft);
}

double CommandedVsFpm(const SimState& s) {
  if (!On(s.autopilot_master)) return s.vertical_speed_fpm;
  if (On(s.altitude_hold)) {
    const double rate = s.vs_setting_fpm != 0.0 ? std::fabs(s.vs_setting_fpm) : kDefaultClimbFpm;
    return CaptureVsFpm(s, rate);
  }
  if (On(s.vs_hold)) return s.vs_setting_fpm;
  return s.vertical_speed_fpm;
}

// The flight-path angle in the simulator's pitch convention: positive nose down.
double FlightPathPitchDeg(const SimState& s, double vs_fpm) {
  return 0.0 - Degrees(std::atan2(vs_fpm / 60.0, SpeedFtPerS(s)));  // 0, never -0, when level
}

void StepLateral(SimState& s, double dt_s) {
  s.bank_deg = MoveToward(s.bank_deg, CommandedBankDeg(s), kRollRateDegPerS * dt_s);
  // Left bank (positive) turns left, toward lower headings.
  double turn_deg_per_s = 0.0 - Degrees(TurnPerBank(s) * std::tan(Radians(s.bank_deg)));
  turn_deg_per_s = std::clamp(turn_deg_per_s, -kStandardRateDegPerS, kStandardRateDegPerS);
  s.heading_true_deg = NormalisedHeading(s.heading_true_deg + turn_deg_per_s * dt_s);
  if (HeadingHoldActive(s) &&
      std::fabs(HeadingError(s.heading_bug_deg, s.heading_true_deg)) < kHeadingSettledDeg &&
      std::fabs(s.bank_deg) < kBankSettledDeg) {
    s.heading_true_deg = s.heading_bug_deg;
    s.bank_deg = 0.0;
  }
}

void StepVertical(SimState& s, double dt_s) {
  s.vertical_speed_fpm =
      MoveToward(s.vertical_speed_fpm, CommandedVsFpm(s), kVsChangeFpmPerS * dt_s);
  s.altitude_ft += s.vertical_speed_fpm / 60.0 * dt_s;
  const bool capturing = On(s.autopilot_master) && On(s.altitude_hold);
  if (capturing && std::fabs(s.altitude_setting_ft - s.altitude_ft) < kAltitudeSettledFt &&
      std::fabs(s.vertical_speed_fpm) < 60.0 * kAltitudeSettledFt / kCaptureTimeS) {
    s.altitude_ft = s.altitude_setting_ft;
    s.vertical_speed_fpm = 0.0;
  }
  if (s.altitude_ft < 0.0) {
    s.altitude_ft = 0.0;
    s.vertical_speed_fpm = std::max(s.vertical_speed_fpm, 0.0);
  }
  s.pitch_deg = FlightPathPitchDeg(s, s.vertical_speed_fpm);
}

void StepSpeed(SimState& s, double dt_s) {
  if (On(s.autopilot_master) && On(s.speed_hold) && On(s.throttle_arm)) {
    s.ground_speed_kt =
        MoveToward(s.ground_speed_kt, s.speed_setting_kt, kSpeedChangeKtPerS * dt_s);
  }
}

void StepPosition(SimState& s, double dt_s) {
  const double distance_nm = s.ground_speed_kt * dt_s / 3600.0;
  const double heading = Radians(s.heading_true_deg);
  s.latitude_deg += distance_nm * std::cos(heading) / kNmPerDegLatitude;
  s.latitude_deg = std::clamp(s.latitude_deg, -89.9, 89.9);
  const double cos_latitude = std::cos(Radians(s.latitude_deg));
  s.longitude_deg += distance_nm * std::sin(heading) / kNmPerDegLatitude / cos_latitude;
  if (s.longitude_deg >= 180.0) s.longitude_deg -= 360.0;
  if (s.longitude_deg < -180.0) s.longitude_deg += 360.0;
}

void StepGear(SimState& s, double dt_s) {
  s.gear_position = MoveToward(s.gear_position, On(s.gear_handle) ? 1.0 : 0.0, dt_s / kGearTravelS);
}

void StepFlightDirector(SimState& s) {
  const bool on = On(s.flight_director);
  s.fd_bank_deg = on ? CommandedBankDeg(s) : 0.0;
  s.fd_pitch_deg = on ? FlightPathPitchDeg(s, CommandedVsFpm(s)) : 0.0;
}

void StepOnce(SimState& s, double dt_s) {
  StepLateral(s, dt_s);
  StepVertical(s, dt_s);
  StepSpeed(s, dt_s);
  StepPosition(s, dt_s);
  StepGear(s, dt_s);
  StepFlightDirector(s);
}

}  // namespace

void StepFlightModel(SimState& state, double dt_s) {
  if (!(dt_s > 0.0)) return;
  dt_s = std::min(dt_s, kMaxFrameS);
  const int steps = static_cast<int>(std::ceil(dt_s / kMaxStepS));
  const double step_s = dt_s / steps;
  for (int i = 0; i < steps; ++i) StepOnce(state, step_s);
}

}  // namespace skyhelm::simulator
