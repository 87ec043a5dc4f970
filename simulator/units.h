// Units the simulator understands: families of interchangeable units and their conversions.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace skyhelm::simulator {

// What a value measures. Every variable stores its value in the family's catalogue unit (first
// column below); a request may name any unit of the same family.
enum class UnitFamily {
  kLength,         // feet
  kSpeed,          // knots
  kAngle,          // degrees
  kRatio,          // percent over 100
  kVerticalSpeed,  // feet per minute
  kBool,           // bool
  kRpm,            // revolutions per minute
  kNumber,         // a count
  kText,           // no unit (a null or empty units name)
  kLatLonAlt,      // a structure: degrees, degrees, feet; no unit
};

// The factor that turns a value in the family's catalogue unit into `units_name`, matched without
// regard to case; nullopt when the unit is unknown or belongs to another family. The catalogue
// unit itself gives exactly 1, so values read back in it are unchanged.
std::optional<double> ConversionFactor(UnitFamily family, const std::string& units_name);

// The family's catalogue unit name ("feet", "knots" ...), as the bridge asks for it.
const char* CatalogueUnit(UnitFamily family);

// Every accepted spelling for the family, catalogue unit first (for --list).
std::vector<std::string> UnitNames(UnitFamily family);

}  // namespace skyhelm::simulator
