// The command table and the parser that walks it.
#include "udp/command_protocol.h"

#include <cstdint>

#include "platform/text/text_util.h"
#include "udp/decimal_value.h"

namespace skyhelm {
namespace {

struct CommandLetter {
  char letter;
  const char* message;
  ClientEvent event;
  bool sends_value;   // else the event carries 0
  bool echoes_value;  // the text after the letter follows the message
};

// In the order the letters are tested.
constexpr CommandLetter kCommandTable[kCommandLetterCount] = {
    {'h', "Heading Set\n", kHeadingBugSet, true, false},
    {'H', "Heading Lock\n", kHeadingHold, false, false},
    {'k', "Speed Set\n", kSpeedVarSet, true, false},
    {'K', "Speed Lock\n", kSpeedHold, false, false},
    {'T', "Throttle Arm\n", kThrottleArm, false, false},
    {'F', "Flight Director\n", kToggleFlightDirector, false, false},
    {'E', "AP Engage Pressed\n", kAutopilotMaster, false, false},
    {'v', "Vertical Speed Set\n", kVerticalSpeedVarSet, true, false},
    {'V', "AP Altitude Lock or Vert Speed Lock Pressed\n", kAltitudeHold, false, false},
    {'l', "Altitude Set\n", kAltitudeVarSet, true, true},
    {'g', "Gear Set\n", kGearSet, true, true},
};

}  // namespace

CommandList ParseCommands(const char* bytes, std::size_t length) {
  CommandList list{};
  const std::size_t text_length = bytes == nullptr ? 0 : text::LengthToZero(bytes, length);
  std::size_t start = 0;  // consumed letters move the text's start instead of its bytes
  for (const CommandLetter& entry : kCommandTable) {
    if (start == text_length || bytes[start] != entry.letter) continue;
    ++start;
    const char* rest = bytes + start;
    const std::size_t rest_length = text_length - start;
    const std::int32_t value = ReadDecimal(rest, rest_length);
    Command& command = list.items[list.count++];
    command.letter = entry.letter;
    command.event = entry.event;
    command.data = entry.sends_value ? static_cast<DWORD>(static_cast<std::uint32_t>(value)) : 0;
    command.message = entry.message;
    command.value_text = entry.echoes_value ? rest : nullptr;
    command.value_length = entry.echoes_value ? rest_length : 0;
  }
  return list;
}

}  // namespace skyhelm
