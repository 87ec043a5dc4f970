// Unit table: each family's spellings and the factor from its catalogue unit.
#include "simulator/units.h"

#include "platform/text/text_util.h"

namespace skyhelm::simulator {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kMetersPerFoot = 0.3048;
constexpr double kMetersPerNauticalMile = 1852.0;

struct UnitEntry {
  UnitFamily family;
  const char* name;
  double factor;  // value in this unit = value in the catalogue unit * factor
};

// The first entry of each family is its catalogue unit.
const UnitEntry kUnits[] = {
    {UnitFamily::kLength, "feet", 1.0},
    {UnitFamily::kLength, "foot", 1.0},
    {UnitFamily::kLength, "ft", 1.0},
    {UnitFamily::kLength, "meters", kMetersPerFoot},
    {UnitFamily::kLength, "meter", kMetersPerFoot},
    {UnitFamily::kLength, "m", kMetersPerFoot},
    {UnitFamily::kSpeed, "knots", 1.0},
    {UnitFamily::kSpeed, "knot", 1.0},
    {UnitFamily::kSpeed, "kt", 1.0},
    {UnitFamily::kSpeed, "kts", 1.0},
    {UnitFamily::kSpeed, "meters per second", kMetersPerNauticalMile / 3600.0},
    {UnitFamily::kSpeed, "m/s", kMetersPerNauticalMile / 3600.0},
    {UnitFamily::kSpeed, "kilometers per hour", kMetersPerNauticalMile / 1000.0},
    {UnitFamily::kSpeed, "km/h", kMetersPerNauticalMile / 1000.0},
    {UnitFamily::kSpeed, "feet per second", kMetersPerNauticalMile / 3600.0 / kMetersPerFoot},
    {UnitFamily::kAngle, "degrees", 1.0},
    {UnitFamily::kAngle, "degree", 1.0},
    {UnitFamily::kAngle, "deg", 1.0},
    {UnitFamily::kAngle, "radians", kPi / 180.0},
    {UnitFamily::kAngle, "radian", kPi / 180.0},
    {UnitFamily::kAngle, "rad", kPi / 180.0},
    {UnitFamily::kRatio, "percent over 100", 1.0},
    {UnitFamily::kRatio, "percent", 100.0},
    {UnitFamily::kRatio, "percentage", 100.0},
    {UnitFamily::kVerticalSpeed, "feet/minute", 1.0},
    {UnitFamily::kVerticalSpeed, "feet per minute", 1.0},
    {UnitFamily::kVerticalSpeed, "ft/min", 1.0},
    {UnitFamily::kVerticalSpeed, "feet/second", 1.0 / 60.0},
    {UnitFamily::kVerticalSpeed, "feet per second", 1.0 / 60.0},
    {UnitFamily::kVerticalSpeed, "meters per second", kMetersPerFoot / 60.0},
    {UnitFamily::kVerticalSpeed, "m/s", kMetersPerFoot / 60.0},
    {UnitFamily::kVerticalSpeed, "meters per minute", kMetersPerFoot},
    {UnitFamily::kBool, "bool", 1.0},
    {UnitFamily::kBool, "boolean", 1.0},
    {UnitFamily::kRpm, "rpm", 1.0},
    {UnitFamily::kNumber, "number", 1.0},
    {UnitFamily::kText, "", 1.0},
    {UnitFamily::kLatLonAlt, "", 1.0},
};

}  // namespace

std::optional<double> ConversionFactor(UnitFamily family, const std::string& units_name) {
  for (const UnitEntry& unit : kUnits) {
    if (unit.family == family && text::EqualsIgnoringCase(unit.name, units_name))
      return unit.factor;
  }
  return std::nullopt;
}

const char* CatalogueUnit(UnitFamily family) {
  for (const UnitEntry& unit : kUnits) {
    if (unit.family == family) return unit.name;
  }
  return "";
}

std::vector<std::string> UnitNames(UnitFamily family) {
  std::vector<std::string> names;
  for (const UnitEntry& unit : kUnits) {
    if (unit.family == family) names.emplace_back(unit.name);
  }
  return names;
}

}  // namespace skyhelm::simulator
