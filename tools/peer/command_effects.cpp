// Expected effects of commands on the line, from the bridge's own command parser.
#include "tools/peer/command_effects.h"

#include <cmath>
#include <cstdint>
#include <cstring>

#include "udp/command_protocol.h"

namespace skyhelm::peer {
namespace {

std::size_t FieldIndex(const char* name) {
  for (std::size_t i = 0; i < kTelemetryFieldCount; ++i) {
    if (std::strcmp(kTelemetryFields[i].name, name) == 0) return i;
  }
  return 0;
}

void Expect(std::vector<Expectation>& expected, Expectation next) {
  for (Expectation& e : expected) {
    if (e.field == next.field) {
      e = next;
      return;
    }
  }
  expected.push_back(next);
}

}  // namespace

// What the line shows after every command of `texts`, starting from the line `before`.
std::vector<Expectation> ExpectedEffects(const std::vector<std::string>& texts,
                                         const TelemetryValues& before) {
  std::vector<Expectation> expected;
  const auto current = [&](std::size_t field) {
    for (const Expectation& e : expected) {
      if (e.field == field) return e.value;
    }
    return before.numbers[field];
  };
  const auto toggle = [&](const char* name) {
    const std::size_t field = FieldIndex(name);
    Expect(expected, {field, current(field) != 0.0 ? 0.0 : 1.0});
  };
  for (const std::string& text : texts) {
    const CommandList list = ParseCommands(text.data(), text.size());
    for (std::size_t i = 0; i < list.count; ++i) {
      const Command& c = list.items[i];
      const double value = static_cast<std::int32_t>(static_cast<std::uint32_t>(c.data));
      switch (c.event) {
        case kHeadingBugSet:
          Expect(expected,
                 {FieldIndex("heading_bug"), std::fmod(std::fmod(value, 360) + 360, 360)});
          break;
        case kSpeedVarSet:
          Expect(expected, {FieldIndex("speed_setting"), value});
          break;
        case kVerticalSpeedVarSet:
          Expect(expected, {FieldIndex("vs_setting"), value});
          break;
        case kAltitudeVarSet:
          Expect(expected, {FieldIndex("altitude_setting"), value});
          break;
        case kGearSet:
          Expect(expected, {FieldIndex("gear_position"), value != 0 ? 1.0 : 0.0, true});
          break;
        case kHeadingHold:
          toggle("heading_hold");
          break;
        case kSpeedHold:
          toggle("speed_hold");
          break;
        case kThrottleArm:
          toggle("throttle_arm");
          break;
        case kToggleFlightDirector:
          toggle("flight_director");
          break;
        case kAutopilotMaster:
          toggle("autopilot_master");
          break;
        case kAltitudeHold:
          toggle("altitude_hold");
          break;
      }
    }
  }
  return expected;
}

// The first expectation `line` does not meet, or nullptr.
const Expectation* Unmet(const std::vector<Expectation>& expected, const TelemetryValues& before,
                         const TelemetryValues& line) {
  for (const Expectation& e : expected) {
    const double now = line.numbers[e.field];
    if (!e.gear && now == e.value) continue;
    if (e.gear && (now == e.value ||
                   std::fabs(now - e.value) < std::fabs(before.numbers[e.field] - e.value))) {
      continue;
    }
    return &e;
  }
  return nullptr;
}

}  // namespace skyhelm::peer
