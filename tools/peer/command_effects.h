// What the line must show once commands have taken effect: `skyhelm-peer send --confirm` and the
// relay's command results both wait for it.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "tools/peer/line_decoder.h"

namespace skyhelm::peer {

// A value the line must show once the commands have taken effect.
struct Expectation {
  std::size_t field;
  double value;
  bool gear = false;  // the gear travels: enough that it moved toward `value` (or is there)
};

// What the line shows after every command of `texts`, starting from the line `before`, read with
// the bridge's own parser. Empty when no command's effect shows in the line.
std::vector<Expectation> ExpectedEffects(const std::vector<std::string>& texts,
                                         const TelemetryValues& before);

// The first expectation `line` does not meet, or nullptr.
const Expectation* Unmet(const std::vector<Expectation>& expected, const TelemetryValues& before,
                         const TelemetryValues& line);

}  // namespace skyhelm::peer
