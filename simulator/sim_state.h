// The simulated aircraft: every value the stand-in simulator can serve, in its catalogue unit.
#pragma once

#include <string>

namespace skyhelm::simulator {

// Plain data, one instance per simulator. Switches are 0 or 1. Angles are degrees, headings in
// [0, 360), the gear position runs from 0 (up) to 1 (down).
struct SimState {
  std::string title = "Skyhelm Trainer";
  double ground_speed_kt = 120.0;
  double altitude_ft = 3000.0;
  double vertical_speed_fpm = 0.0;
  double pitch_deg = 0.0;
  double bank_deg = 0.0;
  double heading_true_deg = 90.0;
  double latitude_deg = 47.45;  // over Puget Sound, east of the Olympic mountains
  double longitude_deg = -122.31;

  double fd_pitch_deg = 0.0;
  double fd_bank_deg = 0.0;
  double heading_bug_deg = 90.0;
  double speed_setting_kt = 120.0;
  double vs_setting_fpm = 0.0;
  double altitude_setting_ft = 3000.0;

  double heading_hold = 0.0;
  double speed_hold = 0.0;
  double throttle_arm = 0.0;
  double flight_director = 0.0;
  double autopilot_master = 0.0;
  double vs_hold = 0.0;
  double altitude_hold = 0.0;

  double gear_handle = 0.0;    // 1 when the handle is down
  double gear_position = 0.0;  // percent over 100
};

}  // namespace skyhelm::simulator
