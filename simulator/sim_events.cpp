// Simulator event names and their effects on the autopilot panel and the gear handle.
#include "simulator/sim_events.h"

#include <algorithm>

#include "simulator/units.h"

namespace skyhelm::simulator {
namespace {

struct EventName {
  SimEvent event;
  const char* name;
};

const EventName kEventNames[] = {
    {SimEvent::kHeadingBugSet, "HEADING_BUG_SET"},
    {SimEvent::kApPanelHeadingHold, "AP_PANEL_HEADING_HOLD"},
    {SimEvent::kApSpdVarSet, "AP_SPD_VAR_SET"},
    {SimEvent::kApPanelSpeedHold, "AP_PANEL_SPEED_HOLD"},
    {SimEvent::kAutoThrottleArm, "AUTO_THROTTLE_ARM"},
    {SimEvent::kToggleFlightDirector, "TOGGLE_FLIGHT_DIRECTOR"},
    {SimEvent::kApMaster, "AP_MASTER"},
    {SimEvent::kApVsVarSetEnglish, "AP_VS_VAR_SET_ENGLISH"},
    {SimEvent::kApPanelAltitudeHold, "AP_PANEL_ALTITUDE_HOLD"},
    {SimEvent::kApAltVarSetEnglish, "AP_ALT_VAR_SET_ENGLISH"},
    {SimEvent::kGearSet, "GEAR_SET"},
    {SimEvent::kApPanelVsHold, "AP_PANEL_VS_HOLD"},
};

void Toggle(double& a_switch) { a_switch = a_switch != 0.0 ? 0.0 : 1.0; }

double Clamped(std::int32_t data, double low, double high) {
  return std::clamp(static_cast<double>(data), low, high);
}

// Integer arithmetic in 64 bits so that INT32_MIN is as safe as any other heading.
double NormalisedHeading(std::int32_t data) {
  const std::int64_t wrapped = ((static_cast<std::int64_t>(data) % 360) + 360) % 360;
  return static_cast<double>(wrapped);
}

}  // namespace

std::optional<SimEvent> FindSimEvent(const std::string& name) {
  for (const EventName& entry : kEventNames) {
    if (EqualsIgnoringCase(entry.name, name)) return entry.event;
  }
  return std::nullopt;
}

const char* SimEventName(SimEvent event) {
  for (const EventName& entry : kEventNames) {
    if (entry.event == event) return entry.name;
  }
  return "";
}

void ApplySimEvent(SimState& state, SimEvent event, std::int32_t data, bool frozen) {
  switch (event) {
    case SimEvent::kHeadingBugSet:
      state.heading_bug_deg = NormalisedHeading(data);
      break;
    case SimEvent::kApSpdVarSet:
      state.speed_setting_kt = Clamped(data, 0.0, kMaxSpeedSettingKt);
      break;
    case SimEvent::kApVsVarSetEnglish:
      state.vs_setting_fpm = Clamped(data, -kMaxVsSettingFpm, kMaxVsSettingFpm);
      break;
    case SimEvent::kApAltVarSetEnglish:
      state.altitude_setting_ft = Clamped(data, kMinAltitudeSettingFt, kMaxAltitudeSettingFt);
      break;
    case SimEvent::kApPanelHeadingHold:
      Toggle(state.heading_hold);
      break;
    case SimEvent::kApPanelSpeedHold:
      Toggle(state.speed_hold);
      break;
    case SimEvent::kAutoThrottleArm:
      Toggle(state.throttle_arm);
      break;
    case SimEvent::kToggleFlightDirector:
      Toggle(state.flight_director);
      break;
    case SimEvent::kApMaster:
      Toggle(state.autopilot_master);
      break;
    case SimEvent::kApPanelVsHold:
      Toggle(state.vs_hold);
      break;
    case SimEvent::kApPanelAltitudeHold:
      Toggle(state.altitude_hold);
      break;
    case SimEvent::kGearSet:
      state.gear_handle = data != 0 ? 1.0 : 0.0;
      if (frozen) state.gear_position = state.gear_handle;
      break;
  }
}

}  // namespace skyhelm::simulator
