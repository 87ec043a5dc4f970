// Values read back through unit conversion and block packing, and simulator events, as tables.
#include "simulator/catalogue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "simulator/data_packing.h"
#include "simulator/sim_events.h"
#include "simulator/units.h"

namespace skyhelm::simulator {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

template <typename T>
T Load(const std::vector<std::uint8_t>& block) {
  T value;
  std::memcpy(&value, block.data(), sizeof value);
  return value;
}

double Unpack(const std::vector<std::uint8_t>& block, SIMCONNECT_DATATYPE type) {
  if (type == SIMCONNECT_DATATYPE_INT32) return Load<std::int32_t>(block);
  if (type == SIMCONNECT_DATATYPE_FLOAT32) return Load<float>(block);
  return Load<double>(block);
}

constexpr auto kInt32 = SIMCONNECT_DATATYPE_INT32;
constexpr auto kFloat32 = SIMCONNECT_DATATYPE_FLOAT32;
constexpr auto kFloat64 = SIMCONNECT_DATATYPE_FLOAT64;

// A value read back in its catalogue unit is exact; other units convert (any spelling, case
// ignored); integers truncate toward zero and saturate, NaN packs as 0.
TEST(Packing, ReadBackExactnessConversionTruncationAndSaturation) {
  const struct {
    const char* name;
    double value;  // in the catalogue unit
    const char* units;
    SIMCONNECT_DATATYPE type;
    double expected;  // the packed value, read back as a double
  } cases[] = {
      {"Plane Heading Degrees True", 268.9, "Degrees", kInt32, 268},
      {"Plane Heading Degrees True", 90, "Radians", kFloat64, kPi / 2},
      {"Autopilot Vertical Hold Var", -500.7, "Feet/minute", kInt32, -500},
      {"Autopilot Vertical Hold Var", -600, "meters per second", kFloat64, -600 * 0.3048 / 60},
      {"Plane Altitude", 1000, "Meters", kFloat64, 304.8},
      {"Plane Altitude", 1e30, "FEET", kInt32, kMax},
      {"Plane Altitude", -1e30, "feet", kInt32, kMin},
      {"Plane Altitude", 2147483647.9, "feet", kInt32, kMax},
      {"Plane Altitude", -2147483648.9, "feet", kInt32, kMin},
      {"Plane Altitude", std::nan(""), "feet", kInt32, 0},
      {"Plane Altitude", -0.99, "feet", kInt32, 0},
      {"Gear Center Position", 0.5, "Percent", kInt32, 50},
      {"Gear Center Position", 0.5, "percent over 100", kFloat32, 0.5},
      {"Autopilot Master", 1, "BOOL", kInt32, 1},
      {"Ground Velocity", 100, "Meters per second", kFloat64, 185.2 / 3.6},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.value) + " " + c.units);
    SimState state;
    const SimVariable* variable = FindVariable(c.name);
    ASSERT_NE(variable, nullptr);
    state.*variable->field = c.value;
    const auto factor = ConversionFactor(variable->family, c.units);
    ASSERT_TRUE(factor);
    std::vector<std::uint8_t> block;
    PackBlock(state, {DataEntry{variable, *factor, c.type}}, block);
    ASSERT_EQ(block.size(), DatumBytes(c.type));
    EXPECT_DOUBLE_EQ(Unpack(block, c.type), c.expected);
  }
}

TEST(Packing, TextIsZeroPaddedAndCut) {
  const DataEntry entry{FindVariable("TITLE"), 1.0, SIMCONNECT_DATATYPE_STRING256};
  for (const std::size_t length : {0u, 5u, 255u, 256u, 1000u}) {
    SimState state;
    state.title = std::string(length, 'x');
    std::vector<std::uint8_t> block(3, 0xAA);  // packing appends
    PackBlock(state, {entry}, block);
    ASSERT_EQ(block.size(), 3u + 256u);
    const std::size_t kept = std::min<std::size_t>(length, 255);
    for (std::size_t i = 0; i < 256; ++i) {
      ASSERT_EQ(block[3 + i], i < kept ? 'x' : 0) << "length " << length << " byte " << i;
    }
  }
}

using E = SimEvent;
using S = SimState;

// Data words are normalised or clamped, buttons toggle whatever the data; without a freeze the
// gear only gets its handle moved.
TEST(SimEvents, DataWordsAreNormalisedOrClampedAndButtonsToggle) {
  const double kMaxAlt = kMaxAltitudeSettingFt, kMinAlt = kMinAltitudeSettingFt;
  const struct {
    SimEvent event;
    std::int32_t data;
    double SimState::*field;
    double once, twice;  // the field after applying the event once, and again
  } cases[] = {
      {E::kHeadingBugSet, 360, &S::heading_bug_deg, 0, 0},
      {E::kHeadingBugSet, -90, &S::heading_bug_deg, 270, 270},
      {E::kHeadingBugSet, kMin, &S::heading_bug_deg, 232, 232},
      {E::kHeadingBugSet, kMax, &S::heading_bug_deg, 127, 127},
      {E::kApSpdVarSet, -5, &S::speed_setting_kt, 0, 0},
      {E::kApSpdVarSet, kMax, &S::speed_setting_kt, kMaxSpeedSettingKt, kMaxSpeedSettingKt},
      {E::kApVsVarSetEnglish, kMin, &S::vs_setting_fpm, -kMaxVsSettingFpm, -kMaxVsSettingFpm},
      {E::kApVsVarSetEnglish, kMax, &S::vs_setting_fpm, kMaxVsSettingFpm, kMaxVsSettingFpm},
      {E::kApAltVarSetEnglish, 9000, &S::altitude_setting_ft, 9000, 9000},
      {E::kApAltVarSetEnglish, kMin, &S::altitude_setting_ft, kMinAlt, kMinAlt},
      {E::kApAltVarSetEnglish, kMax, &S::altitude_setting_ft, kMaxAlt, kMaxAlt},
      {E::kGearSet, 1, &S::gear_handle, 1, 1},
      {E::kGearSet, -1, &S::gear_handle, 1, 1},
      {E::kGearSet, 0, &S::gear_handle, 0, 0},
      {E::kGearSet, 1, &S::gear_position, 0, 0},
      {E::kApPanelHeadingHold, kMin, &S::heading_hold, 1, 0},
      {E::kApPanelSpeedHold, 1, &S::speed_hold, 1, 0},
      {E::kAutoThrottleArm, 0, &S::throttle_arm, 1, 0},
      {E::kToggleFlightDirector, kMax, &S::flight_director, 1, 0},
      {E::kApMaster, 0, &S::autopilot_master, 1, 0},
      {E::kApPanelAltitudeHold, -1, &S::altitude_hold, 1, 0},
      {E::kApPanelVsHold, 7, &S::vs_hold, 1, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(SimEventName(c.event)) + " " + std::to_string(c.data));
    SimState state;
    state.gear_handle = 0.5;  // neither position, so GEAR_SET must write it
    ApplySimEvent(state, c.event, c.data, false);
    EXPECT_EQ(state.*c.field, c.once);
    ApplySimEvent(state, c.event, c.data, false);
    EXPECT_EQ(state.*c.field, c.twice);
  }
}

}  // namespace
}  // namespace skyhelm::simulator
