// The simulation variables the stand-in simulator serves, looked up by name without regard to case.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "simulator/sim_state.h"
#include "simulator/units.h"

namespace skyhelm::simulator {

struct SimVariable {
  const char* name;  // as the simulator spells it
  UnitFamily family;
  double SimState::*field;  // nullptr for text variables and structures
  double min_value;         // the range --set and SetDataOnSimObject keep to, in the catalogue unit
  double max_value;
  const char* meaning;    // sign, reference and the like, as the real simulator defines them
  bool settable = false;  // SetDataOnSimObject may write it (as the variable reference says)
  std::string SimState::*text = nullptr;  // for text variables
};

// nullptr when no variable has that name.
const SimVariable* FindVariable(const std::string& name);
const std::vector<SimVariable>& Catalogue();

// The variable's value in its catalogue unit (0 for text variables and structures).
double ReadValue(const SimState& state, const SimVariable& variable);
// A text variable's value; empty for the others.
std::string ReadText(const SimState& state, const SimVariable& variable);
// A structure's parts (STRUCT LATLONALT: latitude and longitude in degrees, altitude in feet).
std::array<double, 3> ReadStruct(const SimState& state, const SimVariable& variable);

// Writes a numeric variable, value in its catalogue unit: headings wrap into [0, 360), other
// values are clamped to the variable's range, switches read any non-zero value as 1, NaN is
// ignored. The gear position moves the handle with it, as --set does.
void WriteValue(SimState& state, const SimVariable& variable, double value);
void WriteStruct(SimState& state, const SimVariable& variable, const std::array<double, 3>& parts);

// Sets a start value given as text (from the command line). Numbers must be finite decimals
// within the variable's range; the title takes the text as it stands, cut at 255 bytes. Setting
// the gear position also moves the gear handle to match, so the gear stays where it was put.
// Returns an empty string on success, otherwise what was wrong.
std::string SetFromText(SimState& state, const SimVariable& variable, const std::string& text);

}  // namespace skyhelm::simulator
