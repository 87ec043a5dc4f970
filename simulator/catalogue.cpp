// Catalogue table: names, unit families, storage and --set ranges.
#include "simulator/catalogue.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <sstream>

namespace skyhelm::simulator {
namespace {

using F = UnitFamily;
constexpr double kMaxText = 255;

const std::vector<SimVariable> kCatalogue = {
    {"Title", F::kText, nullptr, 0, kMaxText, "the aircraft's title"},
    {"Ground Velocity", F::kSpeed, &SimState::ground_speed_kt, 0, 1000, "speed over the ground"},
    {"Airspeed Indicated", F::kSpeed, &SimState::ground_speed_kt, 0, 1000,
     "no wind and no instrument error here: the ground speed"},
    {"Airspeed True", F::kSpeed, &SimState::ground_speed_kt, 0, 1000,
     "no wind here: the ground speed"},
    {"Plane Altitude", F::kLength, &SimState::altitude_ft, 0, 100000, "above mean sea level"},
    {"Indicated Altitude", F::kLength, &SimState::altitude_ft, 0, 100000,
     "standard pressure here: the altitude"},
    {"Vertical Speed", F::kVerticalSpeed, &SimState::vertical_speed_fpm, -10000, 10000,
     "positive climbing"},
    {"Plane Pitch Degrees", F::kAngle, &SimState::pitch_deg, -90, 90, "positive nose DOWN"},
    {"Plane Bank Degrees", F::kAngle, &SimState::bank_deg, -90, 90,
     "positive LEFT wing down (a right turn is negative)"},
    {"Plane Heading Degrees True", F::kAngle, &SimState::heading_true_deg, 0, 359.999999,
     "from true north, 0 to 360"},
    {"Plane Heading Degrees Magnetic", F::kAngle, &SimState::heading_true_deg, 0, 359.999999,
     "from magnetic north; the magnetic variation is 0 here, so the true heading"},
    {"Plane Latitude", F::kAngle, &SimState::latitude_deg, -89.9, 89.9, "positive north"},
    {"Plane Longitude", F::kAngle, &SimState::longitude_deg, -180, 180, "positive east"},
    {"Autopilot Flight Director Pitch", F::kAngle, &SimState::fd_pitch_deg, -90, 90,
     "commanded pitch, positive nose down; 0 with the director off"},
    {"Autopilot Flight Director Bank", F::kAngle, &SimState::fd_bank_deg, -90, 90,
     "commanded bank, positive left; 0 with the director off"},
    {"Autopilot Heading Lock Dir", F::kAngle, &SimState::heading_bug_deg, 0, 359.999999,
     "the heading bug, magnetic (equal to true here)"},
    {"Autopilot Airspeed Hold Var", F::kSpeed, &SimState::speed_setting_kt, 0, 1000,
     "the speed setting"},
    {"Autopilot Vertical Hold Var", F::kVerticalSpeed, &SimState::vs_setting_fpm, -10000, 10000,
     "the vertical speed setting, positive climbing"},
    {"Autopilot Altitude Lock Var", F::kLength, &SimState::altitude_setting_ft, 0, 100000,
     "the selected altitude, above mean sea level"},
    {"Autopilot Heading Lock", F::kBool, &SimState::heading_hold, 0, 1, "1 on, 0 off"},
    {"Autopilot Airspeed Hold", F::kBool, &SimState::speed_hold, 0, 1, "1 on, 0 off"},
    {"Autopilot Throttle Arm", F::kBool, &SimState::throttle_arm, 0, 1, "1 on, 0 off"},
    {"Autopilot Flight Director Active", F::kBool, &SimState::flight_director, 0, 1, "1 on, 0 off"},
    {"Autopilot Master", F::kBool, &SimState::autopilot_master, 0, 1, "1 on, 0 off"},
    {"Autopilot Vertical Hold", F::kBool, &SimState::vs_hold, 0, 1, "1 on, 0 off"},
    {"Autopilot Altitude Lock", F::kBool, &SimState::altitude_hold, 0, 1, "1 on, 0 off"},
    {"Gear Handle Position", F::kBool, &SimState::gear_handle, 0, 1, "1 down"},
    {"Gear Center Position", F::kRatio, &SimState::gear_position, 0, 1, "0 up to 1 down"},
    {"Gear Left Position", F::kRatio, &SimState::gear_position, 0, 1, "0 up to 1 down"},
    {"Gear Right Position", F::kRatio, &SimState::gear_position, 0, 1, "0 up to 1 down"},
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
    if (EqualsIgnoringCase(variable.name, name)) return &variable;
  }
  return nullptr;
}

const std::vector<SimVariable>& Catalogue() { return kCatalogue; }

double ReadValue(const SimState& state, const SimVariable& variable) {
  return variable.field != nullptr ? state.*variable.field : 0.0;
}

std::string ReadText(const SimState& state, const SimVariable& variable) {
  return variable.field == nullptr ? state.title : std::string();
}

std::string SetFromText(SimState& state, const SimVariable& variable, const std::string& text) {
  if (variable.field == nullptr) {
    state.title = text.substr(0, static_cast<std::size_t>(kMaxText));
    return {};
  }
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
