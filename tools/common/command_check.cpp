// The checker: the bridge's parser does the decoding, this file only names and judges the result.
#include "tools/common/command_check.h"

#include <cctype>
#include <cstdint>
#include <cstring>

#include "platform/text/text_util.h"
#include "udp/command_protocol.h"
#include "udp/decimal_value.h"
#include "udp/udp_endpoint.h"

namespace skyhelm::tools {
namespace {

// The bridge drops a datagram longer than its receive buffer.
constexpr std::size_t kMaxDatagram = kDatagramBufferBytes;
constexpr const char* kLetterOrder = "hHkKTFEvVlg";

struct EventName {
  ClientEvent event;
  const char* name;  // followed by the value for the letters that carry one
  const char* unit;  // nullptr for the value-less letters
};

constexpr EventName kEventNames[] = {
    {kHeadingBugSet, "heading bug", ""},
    {kHeadingHold, "heading hold", nullptr},
    {kSpeedVarSet, "speed setting", " kt"},
    {kSpeedHold, "speed hold", nullptr},
    {kThrottleArm, "throttle arm", nullptr},
    {kToggleFlightDirector, "flight director", nullptr},
    {kAutopilotMaster, "autopilot master", nullptr},
    {kVerticalSpeedVarSet, "vertical speed setting", " ft/min"},
    {kAltitudeHold, "altitude hold", nullptr},
    {kAltitudeVarSet, "altitude setting", " ft"},
    {kGearSet, "gear", nullptr},
};

const EventName& NameOf(ClientEvent event) {
  for (const EventName& entry : kEventNames) {
    if (entry.event == event) return entry;
  }
  return kEventNames[0];
}

bool TakesValue(ClientEvent event) {
  return event == kHeadingBugSet || event == kSpeedVarSet || event == kVerticalSpeedVarSet ||
         event == kAltitudeVarSet || event == kGearSet;
}

std::string Describe(const Command& command) {
  const EventName& entry = NameOf(command.event);
  const auto value = static_cast<std::int32_t>(static_cast<std::uint32_t>(command.data));
  if (command.event == kGearSet) return value != 0 ? "gear down" : "gear up";
  if (entry.unit == nullptr) return entry.name;
  return std::string(entry.name) + " " + std::to_string(value) + entry.unit;
}

// The length of what atoi reads from `rest` (white space, a sign, digits); 0 without digits.
std::size_t NumberLength(const std::string& rest) {
  std::size_t i = 0;
  while (i < rest.size() && std::isspace(static_cast<unsigned char>(rest[i])) != 0) ++i;
  if (i < rest.size() && (rest[i] == '+' || rest[i] == '-')) ++i;
  const std::size_t digits = i;
  while (i < rest.size() && std::isdigit(static_cast<unsigned char>(rest[i])) != 0) ++i;
  return i > digits ? i : 0;
}

std::string Quoted(const std::string& text) { return "\"" + text + "\""; }

// The settings the simulator takes; beyond them it wraps the heading and clamps the others, so
// a value outside is a slip of the finger, not a command.
struct ValueRange {
  ClientEvent event;
  std::int32_t low, high;
};
constexpr ValueRange kValueRanges[] = {
    {kHeadingBugSet, 0, 360},
    {kSpeedVarSet, 0, 999},
    {kVerticalSpeedVarSet, -9900, 9900},
    {kAltitudeVarSet, 0, 99900},
};

std::string RangeProblem(const Command& command) {
  const auto value = static_cast<std::int32_t>(static_cast<std::uint32_t>(command.data));
  for (const ValueRange& range : kValueRanges) {
    if (range.event != command.event || (value >= range.low && value <= range.high)) continue;
    return std::string(1, command.letter) + std::to_string(value) +
           " is out of range: " + NameOf(command.event).name + " takes " +
           std::to_string(range.low) + " to " + std::to_string(range.high) +
           " (the simulator would wrap or clamp it)";
  }
  return {};
}

// A value letter that reads no digits takes 0: "hH" sets the bug to 0 before toggling the hold.
std::string MissingValueProblem(const CommandList& list, const std::string& rest) {
  for (std::size_t i = 0; i < list.count; ++i) {
    const Command& command = list.items[i];
    if (!TakesValue(command.event) || command.event == kGearSet) continue;
    const std::string letter(1, command.letter);
    if (i + 1 < list.count) {
      return letter + " reads no value here and would take 0 (its digits must follow it; send " +
             std::string(1, list.items[i + 1].letter) + " as its own datagram)";
    }
    if (rest.empty()) return letter + " without a value would take 0 (send " + letter + "0 for 0)";
  }
  return {};
}

// Why the bytes after the consumed letters do not do what they seem to; "" when they are fine.
std::string RestProblem(const Command& last, const std::string& rest) {
  if (rest.empty()) return {};
  const std::string after = std::string(1, last.letter);
  if (TakesValue(last.event)) {
    const std::size_t number = NumberLength(rest);
    if (number == rest.size()) {
      const std::int32_t value = ReadDecimal(rest.data(), rest.size());
      if (value == INT32_MAX || value == INT32_MIN) {
        return Quoted(rest) + " is beyond the 32-bit range; the bridge would send " +
               std::to_string(value);
      }
      return {};
    }
    if (number > 0) {
      return Quoted(rest.substr(number)) + " after " + after + rest.substr(0, number) +
             " would be ignored (a value ends at its first non-digit; send it as its own "
             "datagram)";
    }
    return Quoted(rest) + " after " + after + " would be ignored and " + after +
           " would take 0 (a word? the bridge reads single letters)";
  }
  if (std::isdigit(static_cast<unsigned char>(rest[0])) != 0 || rest[0] == '-' || rest[0] == '+') {
    return after + " takes no value; " + Quoted(rest) + " would be ignored";
  }
  if (std::strchr(kLetterOrder, rest[0]) != nullptr) {
    return Quoted(rest) + " after " + after +
           " would be ignored (letters chain only in the order " + kLetterOrder +
           "; send it as its own datagram)";
  }
  return Quoted(rest) + " after " + after +
         " would be ignored (a word? the bridge reads single letters)";
}

}  // namespace

CommandCheck CheckCommand(const char* text, std::size_t size) {
  CommandCheck check;
  const std::size_t read = size < kMaxDatagram ? size : kMaxDatagram;
  const CommandList list = ParseCommands(text, read);
  for (std::size_t i = 0; i < list.count; ++i) {
    check.explanation += (i > 0 ? ", then " : "") + Describe(list.items[i]);
  }
  if (list.count == 0 || size > kMaxDatagram) check.explanation = "nothing";

  const std::size_t text_length = text == nullptr ? read : text::LengthToZero(text, read);
  if (size > kMaxDatagram) {
    check.problem = std::to_string(size) + " bytes: the bridge drops a datagram over " +
                    std::to_string(kMaxDatagram) + " bytes";
  } else if (text_length < size) {
    check.problem = "a zero byte ends the text; the " + std::to_string(size - text_length - 1) +
                    " byte(s) after it would be ignored";
  } else if (list.count == 0) {
    check.problem = text_length == 0 ? std::string("an empty datagram commands nothing")
                                     : Quoted(std::string(text, text_length)) +
                                           " commands nothing: a command starts with " +
                                           "one of the letters " + kLetterOrder + " (case matters)";
  } else {
    // Each matched letter consumes one byte, so the letters are the text's first list.count bytes.
    const std::string rest(text + list.count, text_length - list.count);
    check.problem = MissingValueProblem(list, rest);
    if (check.problem.empty()) check.problem = RestProblem(list.items[list.count - 1], rest);
    for (std::size_t i = 0; i < list.count && check.problem.empty(); ++i) {
      check.problem = RangeProblem(list.items[i]);
    }
  }
  check.ok = check.problem.empty();
  return check;
}

}  // namespace skyhelm::tools
