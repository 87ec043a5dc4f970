// Simulator event names and their effects on the autopilot panel, the lights and the gear handle.
#include "simulator/sim_events.h"

#include <algorithm>

#include "platform/text/text_util.h"
#include "simulator/units.h"

namespace skyhelm::simulator {
namespace {

enum class Action {
  kSetHeading,  // the data word, wrapped into 0..359
  kSet,         // the data word, clamped to [low, high]
  kStep,        // add `step`, clamped to [low, high]
  kStepHeading,
  kToggle,
  kOn,
  kOff,
  kSetSwitch,  // non-zero data: on
  kGearSet,    // the handle; with a freeze the gear follows at once
  kGearStep,   // GEAR_UP (step 0), GEAR_DOWN (step 1), GEAR_TOGGLE (step -1)
  kAllLights,
};

struct EventEntry {
  SimEvent event;
  const char* name;
  Action action;
  double SimState::*field;
  double step;
  double low;
  double high;
};

using S = SimState;
using A = Action;
using E = SimEvent;
constexpr double kAltLow = kMinAltitudeSettingFt, kAltHigh = kMaxAltitudeSettingFt;

const EventEntry kEvents[] = {
    {E::kHeadingBugSet, "HEADING_BUG_SET", A::kSetHeading, &S::heading_bug_deg, 0, 0, 0},
    {E::kApPanelHeadingHold, "AP_PANEL_HEADING_HOLD", A::kToggle, &S::heading_hold, 0, 0, 0},
    {E::kApSpdVarSet, "AP_SPD_VAR_SET", A::kSet, &S::speed_setting_kt, 0, 0, kMaxSpeedSettingKt},
    {E::kApPanelSpeedHold, "AP_PANEL_SPEED_HOLD", A::kToggle, &S::speed_hold, 0, 0, 0},
    {E::kAutoThrottleArm, "AUTO_THROTTLE_ARM", A::kToggle, &S::throttle_arm, 0, 0, 0},
    {E::kToggleFlightDirector, "TOGGLE_FLIGHT_DIRECTOR", A::kToggle, &S::flight_director, 0, 0, 0},
    {E::kApMaster, "AP_MASTER", A::kToggle, &S::autopilot_master, 0, 0, 0},
    {E::kApVsVarSetEnglish, "AP_VS_VAR_SET_ENGLISH", A::kSet, &S::vs_setting_fpm, 0,
     -kMaxVsSettingFpm, kMaxVsSettingFpm},
    {E::kApPanelAltitudeHold, "AP_PANEL_ALTITUDE_HOLD", A::kToggle, &S::altitude_hold, 0, 0, 0},
    {E::kApAltVarSetEnglish, "AP_ALT_VAR_SET_ENGLISH", A::kSet, &S::altitude_setting_ft, 0, kAltLow,
     kAltHigh},
    {E::kGearSet, "GEAR_SET", A::kGearSet, &S::gear_handle, 0, 0, 0},
    {E::kApPanelVsHold, "AP_PANEL_VS_HOLD", A::kToggle, &S::vs_hold, 0, 0, 0},
    {E::kHeadingBugInc, "HEADING_BUG_INC", A::kStepHeading, &S::heading_bug_deg, kHeadingStepDeg, 0,
     0},
    {E::kHeadingBugDec, "HEADING_BUG_DEC", A::kStepHeading, &S::heading_bug_deg, -kHeadingStepDeg,
     0, 0},
    {E::kApAltVarInc, "AP_ALT_VAR_INC", A::kStep, &S::altitude_setting_ft, kAltitudeStepFt, kAltLow,
     kAltHigh},
    {E::kApAltVarDec, "AP_ALT_VAR_DEC", A::kStep, &S::altitude_setting_ft, -kAltitudeStepFt,
     kAltLow, kAltHigh},
    {E::kApSpdVarInc, "AP_SPD_VAR_INC", A::kStep, &S::speed_setting_kt, kSpeedStepKt, 0,
     kMaxSpeedSettingKt},
    {E::kApSpdVarDec, "AP_SPD_VAR_DEC", A::kStep, &S::speed_setting_kt, -kSpeedStepKt, 0,
     kMaxSpeedSettingKt},
    {E::kApVsVarInc, "AP_VS_VAR_INC", A::kStep, &S::vs_setting_fpm, kVsStepFpm, -kMaxVsSettingFpm,
     kMaxVsSettingFpm},
    {E::kApVsVarDec, "AP_VS_VAR_DEC", A::kStep, &S::vs_setting_fpm, -kVsStepFpm, -kMaxVsSettingFpm,
     kMaxVsSettingFpm},
    {E::kAutopilotOn, "AUTOPILOT_ON", A::kOn, &S::autopilot_master, 0, 0, 0},
    {E::kAutopilotOff, "AUTOPILOT_OFF", A::kOff, &S::autopilot_master, 0, 0, 0},
    {E::kApHdgHoldOn, "AP_HDG_HOLD_ON", A::kOn, &S::heading_hold, 0, 0, 0},
    {E::kApHdgHoldOff, "AP_HDG_HOLD_OFF", A::kOff, &S::heading_hold, 0, 0, 0},
    {E::kApAltHoldOn, "AP_ALT_HOLD_ON", A::kOn, &S::altitude_hold, 0, 0, 0},
    {E::kApAltHoldOff, "AP_ALT_HOLD_OFF", A::kOff, &S::altitude_hold, 0, 0, 0},
    {E::kApNav1Hold, "AP_NAV1_HOLD", A::kToggle, &S::nav1_hold, 0, 0, 0},
    {E::kApAprHold, "AP_APR_HOLD", A::kToggle, &S::approach_hold, 0, 0, 0},
    {E::kApWingLeveler, "AP_WING_LEVELER", A::kToggle, &S::wing_leveler, 0, 0, 0},
    {E::kGearUp, "GEAR_UP", A::kGearStep, &S::gear_handle, 0, 0, 0},
    {E::kGearDown, "GEAR_DOWN", A::kGearStep, &S::gear_handle, 1, 0, 0},
    {E::kGearToggle, "GEAR_TOGGLE", A::kGearStep, &S::gear_handle, -1, 0, 0},
    {E::kLandingLightsToggle, "LANDING_LIGHTS_TOGGLE", A::kToggle, &S::light_landing, 0, 0, 0},
    {E::kLandingLightsOn, "LANDING_LIGHTS_ON", A::kOn, &S::light_landing, 0, 0, 0},
    {E::kLandingLightsOff, "LANDING_LIGHTS_OFF", A::kOff, &S::light_landing, 0, 0, 0},
    {E::kLandingLightsSet, "LANDING_LIGHTS_SET", A::kSetSwitch, &S::light_landing, 0, 0, 0},
    {E::kToggleTaxiLights, "TOGGLE_TAXI_LIGHTS", A::kToggle, &S::light_taxi, 0, 0, 0},
    {E::kToggleLogoLights, "TOGGLE_LOGO_LIGHTS", A::kToggle, &S::light_logo, 0, 0, 0},
    {E::kToggleWingLights, "TOGGLE_WING_LIGHTS", A::kToggle, &S::light_wing, 0, 0, 0},
    {E::kToggleNavLights, "TOGGLE_NAV_LIGHTS", A::kToggle, &S::light_nav, 0, 0, 0},
    {E::kToggleBeaconLights, "TOGGLE_BEACON_LIGHTS", A::kToggle, &S::light_beacon, 0, 0, 0},
    {E::kStrobesToggle, "STROBES_TOGGLE", A::kToggle, &S::light_strobe, 0, 0, 0},
    {E::kStrobesOn, "STROBES_ON", A::kOn, &S::light_strobe, 0, 0, 0},
    {E::kStrobesOff, "STROBES_OFF", A::kOff, &S::light_strobe, 0, 0, 0},
    {E::kStrobesSet, "STROBES_SET", A::kSetSwitch, &S::light_strobe, 0, 0, 0},
    {E::kPanelLightsToggle, "PANEL_LIGHTS_TOGGLE", A::kToggle, &S::light_panel, 0, 0, 0},
    {E::kToggleRecognitionLights, "TOGGLE_RECOGNITION_LIGHTS", A::kToggle, &S::light_recognition, 0,
     0, 0},
    {E::kToggleCabinLights, "TOGGLE_CABIN_LIGHTS", A::kToggle, &S::light_cabin, 0, 0, 0},
    {E::kAllLightsToggle, "ALL_LIGHTS_TOGGLE", A::kAllLights, nullptr, 0, 0, 0},
};

double SimState::*const kAllLights[] = {
    &S::light_landing, &S::light_taxi,   &S::light_logo,  &S::light_wing,        &S::light_nav,
    &S::light_beacon,  &S::light_strobe, &S::light_panel, &S::light_recognition, &S::light_cabin};

void Toggle(double& a_switch) { a_switch = a_switch != 0.0 ? 0.0 : 1.0; }

// Integer arithmetic in 64 bits so that INT32_MIN is as safe as any other heading.
double NormalisedHeading(std::int64_t degrees) {
  return static_cast<double>(((degrees % 360) + 360) % 360);
}

const EventEntry* FindEntry(SimEvent event) {
  for (const EventEntry& entry : kEvents) {
    if (entry.event == event) return &entry;
  }
  return nullptr;
}

void MoveGearHandle(SimState& state, double handle, bool frozen) {
  state.gear_handle = handle;
  if (frozen) state.gear_position = state.gear_handle;
}

}  // namespace

std::optional<SimEvent> FindSimEvent(const std::string& name) {
  for (const EventEntry& entry : kEvents) {
    if (text::EqualsIgnoringCase(entry.name, name)) return entry.event;
  }
  return std::nullopt;
}

const char* SimEventName(SimEvent event) {
  const EventEntry* entry = FindEntry(event);
  return entry != nullptr ? entry->name : "";
}

std::vector<const char*> SimEventNames() {
  std::vector<const char*> names;
  for (const EventEntry& entry : kEvents) names.push_back(entry.name);
  return names;
}

void ApplySimEvent(SimState& state, SimEvent event, std::int32_t data, bool frozen) {
  const EventEntry* entry = FindEntry(event);
  if (entry == nullptr) return;
  double* field = entry->field != nullptr ? &(state.*entry->field) : nullptr;
  switch (entry->action) {
    case A::kSetHeading:
      *field = NormalisedHeading(data);
      break;
    case A::kSet:
      *field = std::clamp(static_cast<double>(data), entry->low, entry->high);
      break;
    case A::kStep:
      *field = std::clamp(*field + entry->step, entry->low, entry->high);
      break;
    case A::kStepHeading:
      *field = NormalisedHeading(static_cast<std::int64_t>(*field + entry->step));
      break;
    case A::kToggle:
      Toggle(*field);
      break;
    case A::kOn:
      *field = 1.0;
      break;
    case A::kOff:
      *field = 0.0;
      break;
    case A::kSetSwitch:
      *field = data != 0 ? 1.0 : 0.0;
      break;
    case A::kGearSet:
      MoveGearHandle(state, data != 0 ? 1.0 : 0.0, frozen);
      break;
    case A::kGearStep:
      MoveGearHandle(state, entry->step >= 0 ? entry->step : (state.gear_handle != 0.0 ? 0.0 : 1.0),
                     frozen);
      break;
    case A::kAllLights:
      for (double SimState::*light : kAllLights) Toggle(state.*light);
      break;
  }
}

}  // namespace skyhelm::simulator
