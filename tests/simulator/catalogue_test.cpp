// Catalogue start values (--set), unit conversion, block packing and simulator events, as tables.
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

struct SetCase {
  const char* name;
  const char* text;
  bool accepted;
};

TEST(Catalogue, SetFromTextChecksNumbersAndRanges) {
  const SetCase cases[] = {
      {"plane altitude", "12345.5", true},   {"Plane Altitude", "-1", false},
      {"Plane Altitude", "1e3", true},       {"Plane Altitude", "12ft", false},
      {"Plane Altitude", "", false},         {"Plane Altitude", "nan", false},
      {"Plane Altitude", "inf", false},      {"autopilot master", "1", true},
      {"AUTOPILOT MASTER", "0.5", false},    {"Plane Latitude", "-89.9", true},
      {"Plane Latitude", "91", false},       {"PLANE HEADING DEGREES TRUE", "360", false},
      {"Title", "Any text, even 1e3", true},
  };
  for (const SetCase& c : cases) {
    SCOPED_TRACE(std::string(c.name) + "=" + c.text);
    SimState state;
    const SimVariable* variable = FindVariable(c.name);
    ASSERT_NE(variable, nullptr);
    EXPECT_EQ(SetFromText(state, *variable, c.text).empty(), c.accepted);
  }
  EXPECT_EQ(FindVariable("Plane Altitudes"), nullptr);
  SimState state;  // setting the gear position moves the handle too
  ASSERT_TRUE(SetFromText(state, *FindVariable("gear center position"), "1").empty());
  EXPECT_EQ(state.gear_handle, 1.0);
}

template <typename T>
T Load(const std::uint8_t* at) {
  T value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

double Unpack(const std::vector<std::uint8_t>& block, SIMCONNECT_DATATYPE type) {
  switch (type) {
    case SIMCONNECT_DATATYPE_INT32:
      return Load<std::int32_t>(block.data());
    case SIMCONNECT_DATATYPE_INT64:
      return static_cast<double>(Load<std::int64_t>(block.data()));
    case SIMCONNECT_DATATYPE_FLOAT32:
      return Load<float>(block.data());
    default:
      return Load<double>(block.data());
  }
}

struct ReadBackCase {
  const char* name;
  const char* set_text;
  const char* units;  // any spelling of the unit, case ignored
  SIMCONNECT_DATATYPE type;
  double expected;  // the packed value, read back as a double
};

// A start value read back in its catalogue unit is exact; other units convert; integers truncate
// toward zero.
TEST(Packing, ReadBackExactnessTruncationAndConversion) {
  const ReadBackCase cases[] = {
      {"Plane Heading Degrees True", "268", "degrees", SIMCONNECT_DATATYPE_INT32, 268},
      {"Plane Heading Degrees True", "268.9", "Degrees", SIMCONNECT_DATATYPE_INT64, 268},
      {"Plane Heading Degrees True", "90", "Radians", SIMCONNECT_DATATYPE_FLOAT64, kPi / 2},
      {"Autopilot Vertical Hold Var", "-500.7", "Feet/minute", SIMCONNECT_DATATYPE_INT32, -500},
      {"Autopilot Vertical Hold Var", "-500.7", "Feet/minute", SIMCONNECT_DATATYPE_FLOAT64, -500.7},
      {"Autopilot Vertical Hold Var", "-600", "meters per second", SIMCONNECT_DATATYPE_FLOAT64,
       -600 * 0.3048 / 60},
      {"Plane Latitude", "47.25", "degrees", SIMCONNECT_DATATYPE_FLOAT32, 47.25},
      {"Plane Altitude", "1000", "Meters", SIMCONNECT_DATATYPE_FLOAT64, 304.8},
      {"Plane Altitude", "1000", "meters", SIMCONNECT_DATATYPE_INT32, 304},
      {"Plane Altitude", "99999", "FEET", SIMCONNECT_DATATYPE_INT32, 99999},
      {"Gear Center Position", "0.5", "Percent", SIMCONNECT_DATATYPE_INT32, 50},
      {"Gear Center Position", "0.5", "percent over 100", SIMCONNECT_DATATYPE_FLOAT32, 0.5},
      {"Autopilot Master", "1", "BOOL", SIMCONNECT_DATATYPE_INT32, 1},
      {"Ground Velocity", "100", "Meters per second", SIMCONNECT_DATATYPE_FLOAT64, 185.2 / 3.6},
  };
  for (const ReadBackCase& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.set_text + " " + c.units);
    SimState state;
    const SimVariable* variable = FindVariable(c.name);
    ASSERT_NE(variable, nullptr);
    ASSERT_TRUE(SetFromText(state, *variable, c.set_text).empty());
    const auto factor = ConversionFactor(variable->family, c.units);
    ASSERT_TRUE(factor);
    std::vector<std::uint8_t> block;
    PackBlock(state, {DataEntry{variable, *factor, c.type}}, block);
    ASSERT_EQ(block.size(), DatumBytes(c.type));
    EXPECT_DOUBLE_EQ(Unpack(block, c.type), c.expected);
  }
}

TEST(Packing, IntegersSaturateAndNanIsZero) {
  constexpr auto kMin64 = std::numeric_limits<std::int64_t>::min();
  const struct {
    double value;
    std::int32_t expected32;
    std::int64_t expected64;
  } cases[] = {
      {1e30, kMax, std::numeric_limits<std::int64_t>::max()},
      {-1e30, kMin, kMin64},
      {2147483647.9, 2147483647, 2147483647},
      {-2147483648.9, kMin, -2147483648LL},
      {std::nan(""), 0, 0},
      {-0.99, 0, 0},
  };
  const SimVariable* altitude = FindVariable("Plane Altitude");
  for (const auto& c : cases) {
    SimState state;
    state.altitude_ft = c.value;
    std::vector<std::uint8_t> block;
    PackBlock(
        state,
        {{altitude, 1.0, SIMCONNECT_DATATYPE_INT32}, {altitude, 1.0, SIMCONNECT_DATATYPE_INT64}},
        block);
    EXPECT_EQ(Load<std::int32_t>(block.data()), c.expected32) << c.value;
    EXPECT_EQ(Load<std::int64_t>(block.data() + 4), c.expected64) << c.value;
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

struct EventCase {
  SimEvent event;
  std::int32_t data;
  double SimState::*field;
  double once, twice;  // the field after applying the event once, and again
};

// Data words are normalised or clamped, buttons toggle whatever the data; without a freeze the
// gear only gets its handle moved.
TEST(SimEvents, DataWordsAreNormalisedOrClampedAndButtonsToggle) {
  const double kMaxAlt = kMaxAltitudeSettingFt, kMinAlt = kMinAltitudeSettingFt;
  const EventCase cases[] = {
      {E::kHeadingBugSet, 270, &S::heading_bug_deg, 270, 270},
      {E::kHeadingBugSet, 360, &S::heading_bug_deg, 0, 0},
      {E::kHeadingBugSet, -90, &S::heading_bug_deg, 270, 270},
      {E::kHeadingBugSet, 725, &S::heading_bug_deg, 5, 5},
      {E::kHeadingBugSet, kMin, &S::heading_bug_deg, 232, 232},
      {E::kHeadingBugSet, kMax, &S::heading_bug_deg, 127, 127},
      {E::kApSpdVarSet, 140, &S::speed_setting_kt, 140, 140},
      {E::kApSpdVarSet, -5, &S::speed_setting_kt, 0, 0},
      {E::kApSpdVarSet, kMax, &S::speed_setting_kt, kMaxSpeedSettingKt, kMaxSpeedSettingKt},
      {E::kApVsVarSetEnglish, -500, &S::vs_setting_fpm, -500, -500},
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
  for (const EventCase& c : cases) {
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
