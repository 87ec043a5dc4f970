// Catalogue table: names, unit families, storage and --set ranges.
#include "simulator/catalogue.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

#include "platform/text/text_util.h"

namespace skyhelm::simulator {
namespace {

using F = UnitFamily;
constexpr double kMaxText = 255;

constexpr bool kSettable = true;

const std::vector<SimVariable> kCatalogue = {
    {"Title", F::kText, nullptr, 0, kMaxText, "the aircraft's title", false, &SimState::title},
    {"ATC ID", F::kText, nullptr, 0, kMaxText, "the registration the aircraft flies under", false,
     &SimState::atc_id},
    {"ATC Airline", F::kText, nullptr, 0, kMaxText, "the airline", false, &SimState::atc_airline},
    {"ATC Flight Number", F::kText, nullptr, 0, kMaxText, "the flight number", false,
     &SimState::atc_flight_number},
    {"ATC Type", F::kText, nullptr, 0, kMaxText, "the type as ATC says it", false,
     &SimState::atc_type},
    {"ATC Model", F::kText, nullptr, 0, kMaxText, "the model as ATC says it", false,
     &SimState::atc_model},
    {"Category", F::kText, nullptr, 0, kMaxText, "the kind of simulation object", false,
     &SimState::category},
    {"Ground Velocity", F::kSpeed, &SimState::ground_speed_kt, 0, 1000, "speed over the ground"},
    {"Airspeed Indicated", F::kSpeed, &SimState::ground_speed_kt, 0, 1000,
     "no wind and no instrument error here: the ground speed", kSettable},
    {"Airspeed True", F::kSpeed, &SimState::ground_speed_kt, 0, 1000,
     "no wind here: the ground speed", kSettable},
    {"Plane Altitude", F::kLength, &SimState::altitude_ft, 0, 100000, "above mean sea level",
     kSettable},
    {"Indicated Altitude", F::kLength, &SimState::altitude_ft, 0, 100000,
     "standard pressure here: the altitude", kSettable},
    {"Vertical Speed", F::kVerticalSpeed, &SimState::vertical_speed_fpm, -10000, 10000,
     "positive climbing", kSettable},
    {"Plane Pitch Degrees", F::kAngle, &SimState::pitch_deg, -90, 90, "positive nose DOWN",
     kSettable},
    {"Plane Bank Degrees", F::kAngle, &SimState::bank_deg, -90, 90,
     "positive LEFT wing down (a right turn is negative)", kSettable},
    {"Plane Heading Degrees True", F::kAngle, &SimState::heading_true_deg, 0, 359.999999,
     "from true north, 0 to 360", kSettable},
    {"Plane Heading Degrees Magnetic", F::kAngle, &SimState::heading_true_deg, 0, 359.999999,
     "from magnetic north; the magnetic variation is 0 here, so the true heading"},
    {"Plane Latitude", F::kAngle, &SimState::latitude_deg, -89.9, 89.9, "positive north",
     kSettable},
    {"Plane Longitude", F::kAngle, &SimState::longitude_deg, -180, 180, "positive east", kSettable},
    {"Struct LatLonAlt", F::kLatLonAlt, nullptr, 0, 0,
     "latitude, longitude (degrees) and altitude (feet) as one SIMCONNECT_DATA_LATLONALT",
     kSettable},
    {"Autopilot Flight Director Pitch", F::kAngle, &SimState::fd_pitch_deg, -90, 90,
     "commanded pitch, positive nose down; 0 with the director off"},
    {"Autopilot Flight Director Bank", F::kAngle, &SimState::fd_bank_deg, -90, 90,
     "commanded bank, positive left; 0 with the director off"},
    {"Autopilot Heading Lock Dir", F::kAngle, &SimState::heading_bug_deg, 0, 359.999999,
     "the heading bug, magnetic (equal to true here)", kSettable},
    {"Autopilot Airspeed Hold Var", F::kSpeed, &SimState::speed_setting_kt, 0, 1000,
     "the speed setting", kSettable},
    {"Autopilot Vertical Hold Var", F::kVerticalSpeed, &SimState::vs_setting_fpm, -10000, 10000,
     "the vertical speed setting, positive climbing", kSettable},
    {"Autopilot Altitude Lock Var", F::kLength, &SimState::altitude_setting_ft, 0, 100000,
     "the selected altitude, above mean sea level", kSettable},
    {"Autopilot Available", F::kBool, nullptr, 1, 1, "1: this aircraft has an autopilot"},
    {"Autopilot Heading Lock", F::kBool, &SimState::heading_hold, 0, 1, "1 on, 0 off"},
    {"Autopilot Airspeed Hold", F::kBool, &SimState::speed_hold, 0, 1, "1 on, 0 off"},
    {"Autopilot Throttle Arm", F::kBool, &SimState::throttle_arm, 0, 1, "1 on, 0 off"},
    {"Autopilot Flight Director Active", F::kBool, &SimState::flight_director, 0, 1, "1 on, 0 off"},
    {"Autopilot Master", F::kBool, &SimState::autopilot_master, 0, 1, "1 on, 0 off"},
    {"Autopilot Vertical Hold", F::kBool, &SimState::vs_hold, 0, 1, "1 on, 0 off"},
    {"Autopilot Altitude Lock", F::kBool, &SimState::altitude_hold, 0, 1, "1 on, 0 off"},
    {"Autopilot Nav1 Lock", F::kBool, &SimState::nav1_hold, 0, 1,
     "1 on, 0 off (no radios here: the switch only)"},
    {"Autopilot Approach Hold", F::kBool, &SimState::approach_hold, 0, 1,
     "1 on, 0 off (no radios here: the switch only)"},
    {"Autopilot Wing Leveler", F::kBool, &SimState::wing_leveler, 0, 1,
     "1 on, 0 off (the switch only)"},
    {"Gear Handle Position", F::kBool, &SimState::gear_handle, 0, 1, "1 down", kSettable},
    {"Gear Center Position", F::kRatio, &SimState::gear_position, 0, 1, "0 up to 1 down",
     kSettable},
    {"Gear Left Position", F::kRatio, &SimState::gear_position, 0, 1, "0 up to 1 down", kSettable},
    {"Gear Right Position", F::kRatio, &SimState::gear_position, 0, 1, "0 up to 1 down", kSettable},
    {"Light Landing", F::kBool, &SimState::light_landing, 0, 1, "1 on", kSettable},
    {"Light Taxi", F::kBool, &SimState::light_taxi, 0, 1, "1 on", kSettable},
    {"Light Logo", F::kBool, &SimState::light_logo, 0, 1, "1 on", kSettable},
    {"Light Wing", F::kBool, &SimState::light_wing, 0, 1, "1 on", kSettable},
    {"Light Nav", F::kBool, &SimState::light_nav, 0, 1, "1 on", kSettable},
    {"Light Beacon", F::kBool, &SimState::light_beacon, 0, 1, "1 on", kSettable},
    {"Light Strobe", F::kBool, &SimState::light_strobe, 0, 1, "1 on", kSettable},
    {"Light Panel", F::kBool, &SimState::light_panel, 0, 1, "1 on", kSettable},
    {"Light Recognition", F::kBool, &SimState::light_recognition, 0, 1, "1 on", kSettable},
    {"Light Cabin", F::kBool, &SimState::light_cabin, 0, 1, "1 on", kSettable},
    {"General Eng Throttle Lever Position:1", F::kRatio, &SimState::throttle_position, 0, 1,
     "engine 1's throttle lever, 0 idle to 1 full", kSettable},
    {"General Eng RPM:1", F::kRpm, &SimState::engine_rpm, 0, 10000, "engine 1's speed"},
    {"General Eng Combustion:1", F::kBool, &SimState::engine_combustion, 0, 1,
     "1 while engine 1 runs"},
    {"Number Of Engines", F::kNumber, &SimState::engine_count, 1, 1, "one engine"},
};

// Parses a whole finite decimal number.
bool ParseNumber(const std::string& text, double& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  value = std::strtod(text.c_str(), &end);
  return errno == 0 && end == text.c_str() + text.size() && std::isfinite(value);
}

}  // namespace

const SimVariable* FindVariable(const std::string& name) {
  for (const SimVariable& variable : kCatalogue) {
    if (text::EqualsIgnoringCase(variable.name, name)) return &variable;
  }
  return nullptr;
}

const std::vector<SimVariable>& Catalogue() { return kCatalogue; }

double ReadValue(const SimState& state, const SimVariable& variable) {
  // A constant variable (AUTOPILOT AVAILABLE) has no field: its one value is its range.
  return variable.field != nullptr ? state.*variable.field : variable.min_value;
}

std::string ReadText(const SimState& state, const SimVariable& variable) {
  return variable.text != nullptr ? state.*variable.text : std::string();
}

std::array<double, 3> ReadStruct(const SimState& state, const SimVariable& variable) {
  if (variable.family != UnitFamily::kLatLonAlt) return {};
  return {state.latitude_deg, state.longitude_deg, state.altitude_ft};
}

void WriteValue(SimState& state, const SimVariable& variable, double value) {
  if (variable.field == nullptr || std::isnan(value)) return;
  if (variable.family == UnitFamily::kBool) {
    value = value != 0.0 ? 1.0 : 0.0;
  } else if (variable.family == UnitFamily::kAngle && variable.max_value > 359.0) {
    value = std::isfinite(value) ? std::fmod(std::fmod(value, 360.0) + 360.0, 360.0) : 0.0;
    if (value >= 360.0) value = 0.0;
  } else {
    value = std::clamp(value, variable.min_value, variable.max_value);
  }
  state.*variable.field = value;
  if (variable.field == &SimState::gear_position) state.gear_handle = value >= 0.5 ? 1.0 : 0.0;
}

void WriteStruct(SimState& state, const SimVariable& variable, const std::array<double, 3>& parts) {
  if (variable.family != UnitFamily::kLatLonAlt) return;
  const SimVariable* parts_as[] = {FindVariable("Plane Latitude"), FindVariable("Plane Longitude"),
                                   FindVariable("Plane Altitude")};
  for (std::size_t i = 0; i < 3; ++i) WriteValue(state, *parts_as[i], parts[i]);
}

std::string SetFromText(SimState& state, const SimVariable& variable, const std::string& text) {
  if (variable.text != nullptr) {
    state.*variable.text = text.substr(0, static_cast<std::size_t>(kMaxText));
    return {};
  }
  if (variable.field == nullptr) return "a constant or a structure cannot be set; set its parts";
  double value = 0;
  if (!ParseNumber(text, value)) return "\"" + text + "\" is not a number";
  if (value < variable.min_value || value > variable.max_value) {
    std::ostringstream message;
    message << text << " is outside " << variable.min_value << " .. " << variable.max_value << " "
            << CatalogueUnit(variable.family);
    return message.str();
  }
  if (variable.family == UnitFamily::kBool && value != 0.0 && value != 1.0) {
    return text + " is not 0 or 1";
  }
  state.*variable.field = value;
  if (variable.field == &SimState::gear_position) state.gear_handle = value >= 0.5 ? 1.0 : 0.0;
  return {};
}

}  // namespace skyhelm::simulator
