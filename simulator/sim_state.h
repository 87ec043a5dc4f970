// The simulated aircraft: every value the stand-in simulator can serve, in its catalogue unit.
#pragma once

#include <string>

namespace skyhelm::simulator {

// Plain data, one instance per simulator. Switches are 0 or 1. Angles are degrees, headings in
// [0, 360), the gear position runs from 0 (up) to 1 (down).
struct SimState {
  std::string title = "Skyhelm Trainer";
  std::string atc_id = "N172SH";
  std::string atc_airline = "Skyhelm";
  std::string atc_flight_number = "22";
  std::string atc_type = "SKYHELM";
  std::string atc_model = "TRNR";
  std::string category = "Airplane";
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

  double nav1_hold = 0.0;
  double approach_hold = 0.0;
  double wing_leveler = 0.0;

  double gear_handle = 0.0;    // 1 when the handle is down
  double gear_position = 0.0;  // percent over 100

  double light_landing = 0.0;
  double light_taxi = 0.0;
  double light_logo = 0.0;
  double light_wing = 0.0;
  double light_nav = 1.0;
  double light_beacon = 1.0;
  double light_strobe = 0.0;
  double light_panel = 0.0;
  double light_recognition = 0.0;
  double light_cabin = 0.0;

  double throttle_position = 0.75;  // percent over 100
  double engine_rpm = 2300.0;
  double engine_combustion = 1.0;
  double engine_count = 1.0;
};

}  // namespace skyhelm::simulator
