// The simulator's pure pieces without a server: packing, SetDataOnSimObject, simulator events, and
// the flight model stepped in simulated time.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <tuple>

#include "simulator/catalogue.h"
#include "simulator/data_packing.h"
#include "simulator/flight_model.h"
#include "simulator/sim_events.h"
#include "simulator/units.h"

namespace skyhelm::simulator {
namespace {

constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
constexpr auto kInt32 = SIMCONNECT_DATATYPE_INT32;
constexpr auto kFloat64 = SIMCONNECT_DATATYPE_FLOAT64;

DataEntry Entry(const char* name, const char* units, SIMCONNECT_DATATYPE type, std::uint32_t id) {
  const SimVariable* variable = FindVariable(name);
  return DataEntry{variable, ConversionFactor(variable->family, units).value(), type, 0.0f, id};
}

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
      {"Autopilot Vertical Hold Var", -500.7, "Feet/minute", kInt32, -500},
      {"Plane Heading Degrees True", 90, "Radians", kFloat64, 3.14159265358979323846 / 2},
      {"Plane Altitude", 2147483647.9, "FEET", kInt32, kMax},
      {"Plane Altitude", -2147483648.9, "feet", kInt32, kMin},
      {"Plane Altitude", std::nan(""), "feet", kInt32, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + std::to_string(c.value) + " " + c.units);
    SimState state;
    const DataEntry entry = Entry(c.name, c.units, c.type, 0);
    state.*entry.variable->field = c.value;
    std::vector<std::uint8_t> block;
    PackBlock(state, {entry}, block);
    ASSERT_EQ(block.size(), DatumBytes(c.type));
    const auto load = [&block](auto value) {
      std::memcpy(&value, block.data(), sizeof value);
      return static_cast<double>(value);
    };
    EXPECT_DOUBLE_EQ(c.type == kInt32 ? load(std::int32_t{0}) : load(0.0), c.expected);
  }
}

// The fixed STRING sizes hold the text cut one byte short of it, zero-padded.
TEST(Packing, TextIsZeroPaddedAndCutInEveryStringSize) {
  for (const auto& [type, size] : {std::pair{SIMCONNECT_DATATYPE_STRING8, std::size_t{8}},
                                   {SIMCONNECT_DATATYPE_STRING256, 256},
                                   {SIMCONNECT_DATATYPE_STRING260, 260}}) {
    for (const std::size_t length : {0u, 5u, 255u, 256u, 1000u}) {
      SimState state;
      state.title = std::string(length, 'x');
      std::vector<std::uint8_t> block(3, 0xAA);  // packing appends
      PackBlock(state, {DataEntry{FindVariable("TITLE"), 1.0, type}}, block);
      std::vector<std::uint8_t> expected(3, 0xAA);
      expected.resize(3 + std::min<std::size_t>(length, size - 1), 'x');
      expected.resize(3 + size, 0);
      EXPECT_EQ(block, expected) << size << " " << length;
    }
  }
}

// Tagged SetDataOnSimObject (the untagged one, read-only entries and short blocks:
// tests/interop/calls.js) writes in the entry's unit, wrapped, and nothing at all when a tag after
// good ones is unknown.
TEST(Packing, TaggedSetDataWritesInTheEntrysUnitAndAllOrNothing) {
  const std::vector<DataEntry> settable = {
      Entry("Autopilot Heading Lock Dir", "degrees", kInt32, 1),
      Entry("Plane Altitude", "meters", kInt32, 2)};
  std::vector<std::uint8_t> tagged;  // datum 1 at -90, datum 2 at 1000
  for (const std::int32_t word : {1, -90, 2, 1000})
    wire::PutU32(tagged, static_cast<std::uint32_t>(word));
  SimState state, untouched;
  EXPECT_EQ(ApplyTaggedBlock(settable, tagged, state).exception, SIMCONNECT_EXCEPTION_NONE);
  EXPECT_EQ(std::make_pair(state.heading_bug_deg, std::round(state.altitude_ft * 0.3048)),
            std::make_pair(270.0, 1000.0));
  tagged.insert(tagged.end(), {9, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_EQ(ApplyTaggedBlock(settable, tagged, untouched).exception, SIMCONNECT_EXCEPTION_DATUM_ID);
  EXPECT_EQ(std::make_pair(untouched.heading_bug_deg, untouched.altitude_ft),
            std::make_pair(SimState{}.heading_bug_deg, SimState{}.altitude_ft));
}

using E = SimEvent;
using S = SimState;

// Data words are normalised or clamped, buttons toggle whatever the data; without a freeze the
// gear only gets its handle moved. One row of each kind of action (and the edges of each set).
TEST(SimEvents, DataWordsAreNormalisedOrClampedAndButtonsToggle) {
  const double kMaxAlt = kMaxAltitudeSettingFt;
  const struct {
    SimEvent event;
    std::int32_t data;
    double SimState::*field;
    double once, twice;  // the field after applying the event once, and again
  } cases[] = {
      {E::kHeadingBugSet, 360, &S::heading_bug_deg, 0, 0},
      {E::kHeadingBugSet, kMin, &S::heading_bug_deg, 232, 232},
      {E::kApSpdVarSet, -5, &S::speed_setting_kt, 0, 0},
      {E::kApSpdVarSet, kMax, &S::speed_setting_kt, kMaxSpeedSettingKt, kMaxSpeedSettingKt},
      {E::kApVsVarSetEnglish, kMin, &S::vs_setting_fpm, -kMaxVsSettingFpm, -kMaxVsSettingFpm},
      {E::kApAltVarSetEnglish, kMax, &S::altitude_setting_ft, kMaxAlt, kMaxAlt},
      {E::kGearSet, -1, &S::gear_handle, 1, 1},
      {E::kGearSet, 0, &S::gear_handle, 0, 0},
      {E::kGearSet, 1, &S::gear_position, 0, 0},
      {E::kApPanelHeadingHold, kMin, &S::heading_hold, 1, 0},
      {E::kToggleFlightDirector, kMax, &S::flight_director, 1, 0},
      {E::kApMaster, 0, &S::autopilot_master, 1, 0},
      {E::kApAltVarDec, 0, &S::altitude_setting_ft, 2900, 2800},
      {E::kAutopilotOn, 0, &S::autopilot_master, 1, 1},
      {E::kGearToggle, 0, &S::gear_handle, 0, 1},
      {E::kLandingLightsSet, 5, &S::light_landing, 1, 1},
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

// Heading and altitude hold at once, from 3000 ft: a turn at standard rate (at the bank limit when
// fast: 2.04 deg/s at 250 kt) plus roll-in and -out, banked toward it (right is negative), ending
// wings level on the bug, 2 degrees past it at most; a climb or descent at the selected rate (or
// the default), pitched on the path (a climb is negative), ending level, 50 ft past at most.
TEST(FlightModel, HeadingAndAltitudeHoldSettleOnTheSelectionsAtTheirRates) {
  const struct {
    double from_deg, to_deg, speed_kt, ideal_s, to_ft, vs_setting_fpm;
  } cases[] = {{350, 80, 120, 30, 5000, 1500},
               {90, 0, 120, 30, 2000, -700},
               {10, 280, 250, 44.1, 4000, 0},
               {180, 179, 90, 1.0 / 3, 9000, 6000},
               {0, 5, 120, 5.0 / 3, 2500, 500}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.to_deg) + " deg, " + std::to_string(c.to_ft) + " ft");
    SimState s;
    s.heading_true_deg = c.from_deg;
    s.heading_bug_deg = c.to_deg;
    s.ground_speed_kt = c.speed_kt;
    s.altitude_ft = 3000;
    s.altitude_setting_ft = c.to_ft;
    s.vs_setting_fpm = c.vs_setting_fpm;
    s.autopilot_master = s.heading_hold = s.altitude_hold = 1;
    const auto wrapped = [](double deg) { return std::fmod(deg + 540.0, 360.0) - 180.0; };
    const double right = wrapped(c.to_deg - c.from_deg) > 0 ? 1 : -1;
    const double up = c.to_ft > 3000 ? 1 : -1;
    double least_bank = 0, most_bank = 0, past_deg = 0, settled_at_s = -1;  // bank toward the turn
    double past_ft = 0, max_vs = 0, least_pitch = 0, most_pitch = 0;  // pitch toward the climb
    for (int frame = 1; frame <= 60 * 600; ++frame) {
      StepFlightModel(s, 1.0 / 60);
      least_bank = std::min(least_bank, -right * s.bank_deg);
      most_bank = std::max(most_bank, -right * s.bank_deg);
      past_deg = std::max(past_deg, right * wrapped(s.heading_true_deg - c.to_deg));
      if (settled_at_s < 0 && s.heading_true_deg == c.to_deg) settled_at_s = frame / 60.0;
      past_ft = std::max(past_ft, up * (s.altitude_ft - c.to_ft));
      max_vs = std::max(max_vs, std::fabs(s.vertical_speed_fpm));
      least_pitch = std::min(least_pitch, -up * s.pitch_deg);
      most_pitch = std::max(most_pitch, -up * s.pitch_deg);
    }
    EXPECT_EQ(std::make_tuple(s.heading_true_deg, s.bank_deg, s.altitude_ft, s.vertical_speed_fpm),
              std::make_tuple(c.to_deg, 0.0, c.to_ft, 0.0));
    EXPECT_TRUE(least_bank == 0 && most_bank > 0 && most_bank <= kMaxBankDeg) << most_bank;
    EXPECT_TRUE(least_pitch == 0 && most_pitch > 0) << most_pitch;
    EXPECT_TRUE(past_deg <= 2.0 && past_ft <= 50.0) << past_deg << " " << past_ft;
    EXPECT_TRUE(settled_at_s >= c.ideal_s && settled_at_s <= c.ideal_s + 15.0) << settled_at_s;
    EXPECT_NEAR(max_vs, c.vs_setting_fpm != 0 ? std::fabs(c.vs_setting_fpm) : kDefaultClimbFpm,
                1.0);
  }
}

// A minute of vertical speed hold at 120 kt is 2 nm along the heading (1/30 degree of latitude, or
// of longitude over cos 60°) at the selected rate, the flight director on the pitch; the gear
// comes down in its travel time.
TEST(FlightModel, OneMinuteOfVerticalSpeedHoldAlongTheHeading) {
  for (const double heading_deg : {0.0, 90.0, 180.0, 270.0}) {
    SCOPED_TRACE(heading_deg);
    SimState s;
    s.heading_true_deg = heading_deg;
    s.latitude_deg = 60.0;
    s.longitude_deg = 10.0;
    s.autopilot_master = s.vs_hold = s.flight_director = s.gear_handle = 1;
    s.vs_setting_fpm = -500;
    for (int frame = 1; frame <= 60 * 60; ++frame) {
      StepFlightModel(s, 1.0 / 60);
      ASSERT_TRUE(frame > 60 * (kGearTravelS - 0.5) || s.gear_position < 1.0) << frame;
    }
    const double radians = heading_deg * 3.14159265358979323846 / 180.0;
    EXPECT_NEAR(s.latitude_deg - 60.0, std::cos(radians) / 30.0, 1e-6);
    EXPECT_NEAR(s.longitude_deg - 10.0, std::sin(radians) / 15.0, 1e-5);
    EXPECT_EQ(
        std::make_tuple(s.heading_true_deg, s.vertical_speed_fpm, s.fd_pitch_deg, s.gear_position),
        std::make_tuple(heading_deg, -500.0, s.pitch_deg, 1.0));
  }
}

}  // namespace
}  // namespace skyhelm::simulator
