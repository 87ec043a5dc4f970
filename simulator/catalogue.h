// The simulation variables the stand-in simulator serves, looked up by name without regard to case.
#pragma once

#include <string>
#include <vector>

#include "simulator/sim_state.h"
#include "simulator/units.h"

namespace skyhelm::simulator {

struct SimVariable {
  const char* name;  // as the simulator spells it
  UnitFamily family;
  double SimState::*field;  // nullptr for the text variable (the title)
  double min_value;         // the range --set accepts, in the catalogue unit
  double max_value;
  const char* meaning;  // sign, reference and the like, as the real simulator defines them
};

// nullptr when no variable has that name.
const SimVariable* FindVariable(const std::string& name);
const std::vector<SimVariable>& Catalogue();

// The variable's value in its catalogue unit (0 for the text variable).
double ReadValue(const SimState& state, const SimVariable& variable);
// The text variable's value; empty for numeric variables.
std::string ReadText(const SimState& state, const SimVariable& variable);

// Sets a start value given as text (from the command line). Numbers must be finite decimals
// within the variable's range; the title takes the text as it stands, cut at 255 bytes. Setting
// the gear position also moves the gear handle to match, so the gear stays where it was put.
// Returns an empty string on success, otherwise what was wrong.
std::string SetFromText(SimState& state, const SimVariable& variable, const std::string& text);

}  // namespace skyhelm::simulator
