// Units, catalogue lookups, --set start values and block packing, as tables.
#include "simulator/catalogue.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "sim/telemetry_schema.h"
#include "simulator/data_packing.h"
#include "simulator/units.h"

namespace skyhelm::simulator {
namespace {

struct UnitCase {
  UnitFamily family;
  const char* name;
  double factor;  // 0 means refused
};

TEST(Units, ConversionFactorsByFamilyIgnoringCase) {
  const UnitCase cases[] = {
      {UnitFamily::kLength, "feet", 1.0},
      {UnitFamily::kLength, "FEET", 1.0},
      {UnitFamily::kLength, "Meters", 0.3048},
      {UnitFamily::kSpeed, "Knots", 1.0},
      {UnitFamily::kSpeed, "meters per second", 1852.0 / 3600.0},
      {UnitFamily::kAngle, "degrees", 1.0},
      {UnitFamily::kAngle, "Radians", 3.14159265358979323846 / 180.0},
      {UnitFamily::kRatio, "percent over 100", 1.0},
      {UnitFamily::kRatio, "Percent", 100.0},
      {UnitFamily::kVerticalSpeed, "Feet/minute", 1.0},
      {UnitFamily::kVerticalSpeed, "meters per second", 0.3048 / 60.0},
      {UnitFamily::kBool, "BOOL", 1.0},
      {UnitFamily::kText, "", 1.0},
      {UnitFamily::kLength, "knots", 0},
      {UnitFamily::kSpeed, "feet", 0},
      {UnitFamily::kBool, "", 0},
      {UnitFamily::kText, "feet", 0},
      {UnitFamily::kLength, "feet ", 0},
  };
  for (const UnitCase& c : cases) {
    SCOPED_TRACE(c.name);
    const auto factor = ConversionFactor(c.family, c.name);
    if (c.factor == 0) {
      EXPECT_FALSE(factor);
    } else {
      ASSERT_TRUE(factor);
      EXPECT_DOUBLE_EQ(*factor, c.factor);
    }
  }
}

// Every entry the bridge adds must be accepted, with the catalogue unit meaning "no conversion".
TEST(Catalogue, AcceptsEveryEntryOfTheBridgeDefinition) {
  std::vector<DataEntry> entries;
  for (const TelemetryDatum& datum : kTelemetryDefinitionEntries) {
    SCOPED_TRACE(datum.datum_name);
    wire::AddToDataDefinitionRequest request;
    request.datum_name = datum.datum_name;
    request.has_units = datum.units_name != nullptr;
    request.units_name = datum.units_name != nullptr ? datum.units_name : "";
    request.datum_type = datum.datum_type;
    DataEntry entry;
    EntryError error;
    ASSERT_TRUE(MakeDataEntry(request, entry, error)) << error.exception;
    EXPECT_EQ(entry.factor, 1.0);
    entries.push_back(entry);
  }
  EXPECT_EQ(BlockBytes(entries), kTelemetryRecordBytes);
  std::vector<std::uint8_t> block;
  PackBlock(SimState{}, entries, block);
  EXPECT_EQ(block.size(), kTelemetryRecordBytes);
}

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
}

TEST(Catalogue, SettingTheGearPositionMovesTheHandleToo) {
  SimState state;
  ASSERT_TRUE(SetFromText(state, *FindVariable("gear center position"), "1").empty());
  EXPECT_EQ(state.gear_handle, 1.0);
}

struct ReadBackCase {
  const char* name;
  const char* set_text;
  const char* units;
  SIMCONNECT_DATATYPE type;
  double expected;  // the packed value, read back as a double
};

double Unpack(const std::vector<std::uint8_t>& block, SIMCONNECT_DATATYPE type) {
  std::int32_t i32;
  std::int64_t i64;
  float f32;
  double f64;
  switch (type) {
    case SIMCONNECT_DATATYPE_INT32:
      std::memcpy(&i32, block.data(), 4);
      return i32;
    case SIMCONNECT_DATATYPE_INT64:
      std::memcpy(&i64, block.data(), 8);
      return static_cast<double>(i64);
    case SIMCONNECT_DATATYPE_FLOAT32:
      std::memcpy(&f32, block.data(), 4);
      return f32;
    default:
      std::memcpy(&f64, block.data(), 8);
      return f64;
  }
}

// A start value read back in its catalogue unit is exact; integers truncate toward zero and
// saturate.
TEST(Packing, ReadBackExactnessTruncationAndConversion) {
  const ReadBackCase cases[] = {
      {"Plane Heading Degrees True", "268", "degrees", SIMCONNECT_DATATYPE_INT32, 268},
      {"Autopilot Heading Lock Dir", "359", "Degrees", SIMCONNECT_DATATYPE_INT32, 359},
      {"Plane Heading Degrees True", "268.9", "degrees", SIMCONNECT_DATATYPE_INT32, 268},
      {"Plane Heading Degrees True", "268.9", "degrees", SIMCONNECT_DATATYPE_INT64, 268},
      {"Autopilot Vertical Hold Var", "-500.7", "Feet/minute", SIMCONNECT_DATATYPE_INT32, -500},
      {"Autopilot Vertical Hold Var", "-500.7", "Feet/minute", SIMCONNECT_DATATYPE_FLOAT64, -500.7},
      {"Plane Latitude", "47.25", "degrees", SIMCONNECT_DATATYPE_FLOAT32, 47.25},
      {"Plane Latitude", "47.3", "degrees", SIMCONNECT_DATATYPE_FLOAT64, 47.3},
      {"Plane Altitude", "1000", "meters", SIMCONNECT_DATATYPE_FLOAT64, 304.8},
      {"Plane Altitude", "1000", "meters", SIMCONNECT_DATATYPE_INT32, 304},
      {"Gear Center Position", "0.5", "percent", SIMCONNECT_DATATYPE_INT32, 50},
      {"Gear Center Position", "0.5", "percent over 100", SIMCONNECT_DATATYPE_FLOAT32, 0.5},
      {"Autopilot Master", "1", "bool", SIMCONNECT_DATATYPE_INT32, 1},
      {"Ground Velocity", "100", "knots", SIMCONNECT_DATATYPE_INT64, 100},
      {"Plane Altitude", "99999", "feet", SIMCONNECT_DATATYPE_INT32, 99999},
  };
  for (const ReadBackCase& c : cases) {
    SCOPED_TRACE(std::string(c.name) + " " + c.set_text + " " + c.units);
    SimState state;
    const SimVariable* variable = FindVariable(c.name);
    ASSERT_NE(variable, nullptr);
    ASSERT_TRUE(SetFromText(state, *variable, c.set_text).empty());
    const DataEntry entry{variable, *ConversionFactor(variable->family, c.units), c.type};
    std::vector<std::uint8_t> block;
    PackBlock(state, {entry}, block);
    ASSERT_EQ(block.size(), DatumBytes(c.type));
    EXPECT_DOUBLE_EQ(Unpack(block, c.type), c.expected);
  }
}

TEST(Packing, IntegersSaturateAndNanIsZero) {
  const SimVariable* altitude = FindVariable("Plane Altitude");
  const struct {
    double value;
    double factor;
    std::int32_t expected32;
    std::int64_t expected64;
  } cases[] = {
      {1e30, 1, std::numeric_limits<std::int32_t>::max(), std::numeric_limits<std::int64_t>::max()},
      {-1e30, 1, std::numeric_limits<std::int32_t>::min(),
       std::numeric_limits<std::int64_t>::min()},
      {2147483647.9, 1, 2147483647, 2147483647},
      {-2147483648.9, 1, std::numeric_limits<std::int32_t>::min(), -2147483648LL},
      {std::nan(""), 1, 0, 0},
      {-0.99, 1, 0, 0},
  };
  for (const auto& c : cases) {
    SimState state;
    state.altitude_ft = c.value;
    std::vector<std::uint8_t> block;
    PackBlock(state,
              {{altitude, c.factor, SIMCONNECT_DATATYPE_INT32},
               {altitude, c.factor, SIMCONNECT_DATATYPE_INT64}},
              block);
    std::int32_t v32;
    std::int64_t v64;
    std::memcpy(&v32, block.data(), 4);
    std::memcpy(&v64, block.data() + 4, 8);
    EXPECT_EQ(v32, c.expected32) << c.value;
    EXPECT_EQ(v64, c.expected64) << c.value;
  }
}

TEST(Packing, TextIsZeroPaddedAndCut) {
  const SimVariable* title = FindVariable("TITLE");
  const DataEntry entry{title, 1.0, SIMCONNECT_DATATYPE_STRING256};
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
