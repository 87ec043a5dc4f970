// The bridge's client events: the ids it maps at connection time and transmits for commands.
#pragma once

#include "sim/simconnect_api.h"

namespace skyhelm {

// Identifier 0 is not used.
enum ClientEvent : SIMCONNECT_CLIENT_EVENT_ID {
  kHeadingBugSet = 1,
  kSpeedVarSet = 2,
  kHeadingHold = 3,
  kSpeedHold = 4,
  kThrottleArm = 5,
  kToggleFlightDirector = 6,
  kAutopilotMaster = 7,
  kVerticalSpeedVarSet = 8,
  kAltitudeHold = 9,
  kAltitudeVarSet = 10,
  kGearSet = 11,
};

struct ClientEventMapping {
  ClientEvent id;
  const char* sim_event_name;  // the simulator's own name, exactly as it spells it
};

// The eleven mappings in the order they are made at connection time.
inline constexpr ClientEventMapping kClientEventMappings[] = {
    {kHeadingBugSet, "HEADING_BUG_SET"},
    {kHeadingHold, "AP_PANEL_HEADING_HOLD"},
    {kSpeedVarSet, "AP_SPD_VAR_SET"},
    {kSpeedHold, "AP_PANEL_SPEED_HOLD"},
    {kThrottleArm, "AUTO_THROTTLE_ARM"},
    {kToggleFlightDirector, "TOGGLE_FLIGHT_DIRECTOR"},
    {kAutopilotMaster, "AP_MASTER"},
    {kVerticalSpeedVarSet, "AP_VS_VAR_SET_ENGLISH"},
    {kAltitudeHold, "AP_PANEL_ALTITUDE_HOLD"},
    {kAltitudeVarSet, "AP_ALT_VAR_SET_ENGLISH"},
    {kGearSet, "GEAR_SET"},
};

}  // namespace skyhelm
