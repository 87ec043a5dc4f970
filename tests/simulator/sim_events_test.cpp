// Simulator events: normalising and clamping of data words, toggles and the gear.
#include "simulator/sim_events.h"

#include <gtest/gtest.h>

#include <limits>

namespace skyhelm::simulator {
namespace {

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

struct DataCase {
  SimEvent event;
  std::int32_t data;
  double SimState::*field;
  double expected;
};

TEST(SimEvents, DataWordsAreNormalisedOrClamped) {
  const DataCase cases[] = {
      {SimEvent::kHeadingBugSet, 270, &SimState::heading_bug_deg, 270},
      {SimEvent::kHeadingBugSet, 360, &SimState::heading_bug_deg, 0},
      {SimEvent::kHeadingBugSet, -90, &SimState::heading_bug_deg, 270},
      {SimEvent::kHeadingBugSet, 725, &SimState::heading_bug_deg, 5},
      {SimEvent::kHeadingBugSet, kMin, &SimState::heading_bug_deg, 232},
      {SimEvent::kHeadingBugSet, kMax, &SimState::heading_bug_deg, 127},
      {SimEvent::kApSpdVarSet, 140, &SimState::speed_setting_kt, 140},
      {SimEvent::kApSpdVarSet, -5, &SimState::speed_setting_kt, 0},
      {SimEvent::kApSpdVarSet, kMax, &SimState::speed_setting_kt, kMaxSpeedSettingKt},
      {SimEvent::kApVsVarSetEnglish, -500, &SimState::vs_setting_fpm, -500},
      {SimEvent::kApVsVarSetEnglish, kMin, &SimState::vs_setting_fpm, -kMaxVsSettingFpm},
      {SimEvent::kApVsVarSetEnglish, kMax, &SimState::vs_setting_fpm, kMaxVsSettingFpm},
      {SimEvent::kApAltVarSetEnglish, 9000, &SimState::altitude_setting_ft, 9000},
      {SimEvent::kApAltVarSetEnglish, kMin, &SimState::altitude_setting_ft, kMinAltitudeSettingFt},
      {SimEvent::kApAltVarSetEnglish, kMax, &SimState::altitude_setting_ft, kMaxAltitudeSettingFt},
      {SimEvent::kGearSet, 1, &SimState::gear_handle, 1},
      {SimEvent::kGearSet, -1, &SimState::gear_handle, 1},
      {SimEvent::kGearSet, 0, &SimState::gear_handle, 0},
      {SimEvent::kGearSet, 1, &SimState::gear_position, 0},  // unfrozen: the gear travels later
  };
  for (const DataCase& c : cases) {
    SimState state;
    state.gear_handle = 0.5;  // neither position, so GEAR_SET must write it
    ApplySimEvent(state, c.event, c.data, false);
    EXPECT_EQ(state.*c.field, c.expected) << SimEventName(c.event) << " " << c.data;
  }
}

TEST(SimEvents, ButtonsToggleWhateverTheData) {
  const std::pair<SimEvent, double SimState::*> buttons[] = {
      {SimEvent::kApPanelHeadingHold, &SimState::heading_hold},
      {SimEvent::kApPanelSpeedHold, &SimState::speed_hold},
      {SimEvent::kAutoThrottleArm, &SimState::throttle_arm},
      {SimEvent::kToggleFlightDirector, &SimState::flight_director},
      {SimEvent::kApMaster, &SimState::autopilot_master},
      {SimEvent::kApPanelAltitudeHold, &SimState::altitude_hold},
      {SimEvent::kApPanelVsHold, &SimState::vs_hold},
  };
  for (const auto& [event, field] : buttons) {
    SimState state;
    ApplySimEvent(state, event, kMin, false);
    EXPECT_EQ(state.*field, 1.0) << SimEventName(event);
    ApplySimEvent(state, event, 0, false);
    EXPECT_EQ(state.*field, 0.0) << SimEventName(event);
  }
}

}  // namespace
}  // namespace skyhelm::simulator
