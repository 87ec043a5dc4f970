// The simulator events a client can map and transmit, and what each does to the aircraft.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "simulator/sim_state.h"

namespace skyhelm::simulator {

enum class SimEvent {
  kHeadingBugSet,
  kApPanelHeadingHold,
  kApSpdVarSet,
  kApPanelSpeedHold,
  kAutoThrottleArm,
  kToggleFlightDirector,
  kApMaster,
  kApVsVarSetEnglish,
  kApPanelAltitudeHold,
  kApAltVarSetEnglish,
  kGearSet,
  kApPanelVsHold,  // not used by the bridge; lets scripts engage vertical-speed hold
  // Not used by the bridge; what ordinary add-ons send.
  kHeadingBugInc,
  kHeadingBugDec,
  kApAltVarInc,
  kApAltVarDec,
  kApSpdVarInc,
  kApSpdVarDec,
  kApVsVarInc,
  kApVsVarDec,
  kAutopilotOn,
  kAutopilotOff,
  kApHdgHoldOn,
  kApHdgHoldOff,
  kApAltHoldOn,
  kApAltHoldOff,
  kApNav1Hold,
  kApAprHold,
  kApWingLeveler,
  kGearUp,
  kGearDown,
  kGearToggle,
  kLandingLightsToggle,
  kLandingLightsOn,
  kLandingLightsOff,
  kLandingLightsSet,
  kToggleTaxiLights,
  kToggleLogoLights,
  kToggleWingLights,
  kToggleNavLights,
  kToggleBeaconLights,
  kStrobesToggle,
  kStrobesOn,
  kStrobesOff,
  kStrobesSet,
  kPanelLightsToggle,
  kToggleRecognitionLights,
  kToggleCabinLights,
  kAllLightsToggle,
};

// Matched without regard to case; nullopt for a name the simulator does not know.
std::optional<SimEvent> FindSimEvent(const std::string& name);
// The simulator's own spelling ("HEADING_BUG_SET").
const char* SimEventName(SimEvent event);
// Every event's name, in table order (for --list).
std::vector<const char*> SimEventNames();

// Limits applied to the data word of the setting events.
inline constexpr double kMaxSpeedSettingKt = 999.0;
inline constexpr double kMaxVsSettingFpm = 9900.0;
inline constexpr double kMinAltitudeSettingFt = 0.0;
inline constexpr double kMaxAltitudeSettingFt = 99900.0;

// Steps of the INC/DEC events.
inline constexpr double kHeadingStepDeg = 1.0;
inline constexpr double kAltitudeStepFt = 100.0;
inline constexpr double kSpeedStepKt = 1.0;
inline constexpr double kVsStepFpm = 100.0;

// Applies one event. `data` is the event's 32-bit data word read as signed; any value is safe:
// headings are normalised to 0..359, the other settings clamped to the limits above (INC/DEC
// too), the SET switches take any non-zero value as on, and the button events ignore it. When
// `frozen` the gear jumps to the handle's position at once instead of travelling.
void ApplySimEvent(SimState& state, SimEvent event, std::int32_t data, bool frozen);

}  // namespace skyhelm::simulator
