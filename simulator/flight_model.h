// A point-mass aircraft with a simple autopilot, stepped in simulated time.
#pragma once

#include "simulator/sim_state.h"

namespace skyhelm::simulator {

inline constexpr double kMaxBankDeg = 25.0;
inline constexpr double kRollRateDegPerS = 5.0;
inline constexpr double kStandardRateDegPerS = 3.0;
inline constexpr double kGearTravelS = 5.0;
inline constexpr double kSpeedChangeKtPerS = 2.0;
inline constexpr double kVsChangeFpmPerS = 300.0;
// Climb or descent rate towards a selected altitude when no vertical speed is selected.
inline constexpr double kDefaultClimbFpm = 700.0;
// The longest step integrated in one piece; longer steps are split so any rate stays stable.
inline constexpr double kMaxStepS = 0.02;

// Signs as the real simulator's: bank positive to the LEFT, pitch positive nose DOWN (the flight
// director's pitch and bank likewise).
//
// Advances the aircraft by dt_s simulated seconds (any non-negative duration):
// - heading hold (master and heading hold on) banks toward the bug, at most kMaxBankDeg and no
//   more than a standard-rate turn needs, rolling at kRollRateDegPerS, and rolls out on the bug;
//   otherwise the wings level;
// - altitude hold (master on) climbs or descends toward the selected altitude at the selected
//   vertical speed's magnitude and captures it without overshoot; otherwise vertical-speed hold
//   (master on) flies the selected vertical speed; otherwise the vertical speed stays;
// - speed hold (master, speed hold and throttle arm on) moves the ground speed toward the setting;
// - the position follows ground speed along the true heading; pitch is the flight-path angle
//   (so a climb shows a negative pitch);
// - the gear travels toward its handle in kGearTravelS;
// - the flight director, when on, shows the commanded pitch and bank, else 0.
// The altitude never goes below 0 ft.
void StepFlightModel(SimState& state, double dt_s);

}  // namespace skyhelm::simulator
