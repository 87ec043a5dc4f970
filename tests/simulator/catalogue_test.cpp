// Catalogue start values (--set), unit conversion and block packing, as tables.
#include "simulator/catalogue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "simulator/data_packing.h"
#include "simulator/units.h"

namespace skyhelm::simulator {
namespace {

constexpr double kPi = 3.14159265358979323846;

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
      {"Autopilot Heading Lock Dir", "359", "Degrees", SIMCONNECT_DATATYPE_INT32, 359},
      {"Plane Heading Degrees True", "268.9", "degrees", SIMCONNECT_DATATYPE_INT32, 268},
      {"Plane Heading Degrees True", "268.9", "degrees", SIMCONNECT_DATATYPE_INT64, 268},
      {"Plane Heading Degrees True", "90", "Radians", SIMCONNECT_DATATYPE_FLOAT64, kPi / 2},
      {"Autopilot Vertical Hold Var", "-500.7", "Feet/minute", SIMCONNECT_DATATYPE_INT32, -500},
      {"Autopilot Vertical Hold Var", "-500.7", "Feet/minute", SIMCONNECT_DATATYPE_FLOAT64, -500.7},
      {"Autopilot Vertical Hold Var", "-600", "meters per second", SIMCONNECT_DATATYPE_FLOAT64,
       -600 * 0.3048 / 60},
      {"Plane Latitude", "47.25", "degrees", SIMCONNECT_DATATYPE_FLOAT32, 47.25},
      {"Plane Latitude", "47.3", "degrees", SIMCONNECT_DATATYPE_FLOAT64, 47.3},
      {"Plane Altitude", "1000", "Meters", SIMCONNECT_DATATYPE_FLOAT64, 304.8},
      {"Plane Altitude", "1000", "meters", SIMCONNECT_DATATYPE_INT32, 304},
      {"Plane Altitude", "99999", "FEET", SIMCONNECT_DATATYPE_INT32, 99999},
      {"Gear Center Position", "0.5", "Percent", SIMCONNECT_DATATYPE_INT32, 50},
      {"Gear Center Position", "0.5", "percent over 100", SIMCONNECT_DATATYPE_FLOAT32, 0.5},
      {"Autopilot Master", "1", "BOOL", SIMCONNECT_DATATYPE_INT32, 1},
      {"Ground Velocity", "100", "knots", SIMCONNECT_DATATYPE_INT64, 100},
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
  constexpr auto kMin32 = std::numeric_limits<std::int32_t>::min();
  constexpr auto kMin64 = std::numeric_limits<std::int64_t>::min();
  const struct {
    double value;
    std::int32_t expected32;
    std::int64_t expected64;
  } cases[] = {
      {1e30, std::numeric_limits<std::int32_t>::max(), std::numeric_limits<std::int64_t>::max()},
      {-1e30, kMin32, kMin64},
      {2147483647.9, 2147483647, 2147483647},
      {-2147483648.9, kMin32, -2147483648LL},
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

}  // namespace
}  // namespace skyhelm::simulator
