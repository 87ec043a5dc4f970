// The command protocol: which events a datagram asks for, with which data, acknowledged how.
#include "udp/command_protocol.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace skyhelm {
namespace {

using Event = std::pair<DWORD, DWORD>;  // client event id, data word

struct ProtocolCase {
  const char* name;
  std::string datagram;  // may hold zero bytes
  std::vector<Event> events;
  std::string debugger_text;  // every acknowledgement and value text, in order
};

DWORD Word(std::int32_t value) { return static_cast<DWORD>(static_cast<std::uint32_t>(value)); }

class CommandProtocol : public ::testing::TestWithParam<ProtocolCase> {
 protected:
  // Parses the datagram from a heap block of exactly its size, so that AddressSanitizer sees any
  // read past the received bytes.
  static CommandList Parse(const std::string& datagram, std::unique_ptr<char[]>& storage) {
    storage = std::make_unique<char[]>(datagram.size());
    std::memcpy(storage.get(), datagram.data(), datagram.size());
    return ParseCommands(storage.get(), datagram.size());
  }
};

TEST_P(CommandProtocol, TurnsTheDatagramIntoItsEvents) {
  const ProtocolCase& c = GetParam();
  std::unique_ptr<char[]> storage;
  const CommandList list = Parse(c.datagram, storage);
  std::vector<Event> events;
  std::string debugger_text;
  for (std::size_t i = 0; i < list.count; ++i) {
    const Command& command = list.items[i];
    events.emplace_back(command.event, command.data);
    debugger_text += command.message;
    if (command.value_text != nullptr)
      debugger_text.append(command.value_text, command.value_length);
  }
  EXPECT_EQ(events, c.events);
  EXPECT_EQ(debugger_text, c.debugger_text);
}

std::string Bytes(const char* text, std::size_t length) { return std::string(text, length); }

// 1024 bytes, no zero byte: "l" and then 1023 digits "9".
std::string FullAltitudeDatagram() { return "l" + std::string(1023, '9'); }

const ProtocolCase kCases[] = {
    // Each letter alone.
    {"HeadingSet", "h270", {{1, 270}}, "Heading Set\n"},
    {"HeadingLockIgnoresItsValue", "H45", {{3, 0}}, "Heading Lock\n"},
    {"SpeedSet", "k250", {{2, 250}}, "Speed Set\n"},
    {"SpeedLock", "K", {{4, 0}}, "Speed Lock\n"},
    {"ThrottleArm", "T", {{5, 0}}, "Throttle Arm\n"},
    {"FlightDirector", "F", {{6, 0}}, "Flight Director\n"},
    {"Engage", "E", {{7, 0}}, "AP Engage Pressed\n"},
    {"VerticalSpeedNegative", "v-500", {{8, 0xFFFFFE0Cu}}, "Vertical Speed Set\n"},
    {"AltitudeOrVerticalLock", "V", {{9, 0}}, "AP Altitude Lock or Vert Speed Lock Pressed\n"},
    {"AltitudeEchoesItsText", "l900", {{10, 900}}, "Altitude Set\n900"},
    {"GearDown", "g1", {{11, 1}}, "Gear Set\n1"},
    {"GearUp", "g0", {{11, 0}}, "Gear Set\n0"},
    // Values by atoi rules.
    {"HeadingWithoutValueIsZero", "h", {{1, 0}}, "Heading Set\n"},
    {"LeadingSpaceSkipped", "k 250", {{2, 250}}, "Speed Set\n"},
    {"LeadingWhiteSpaceOfEveryKind", "k\t\n\v\f\r 7", {{2, 7}}, "Speed Set\n"},
    {"PlusSign", "h+90", {{1, 90}}, "Heading Set\n"},
    {"DigitsEndAtTheFirstOtherByte", "h12x34", {{1, 12}}, "Heading Set\n"},
    {"SignWithoutDigitsIsZero", "h-", {{1, 0}}, "Heading Set\n"},
    {"SpaceAfterSignStopsTheValue", "h- 5", {{1, 0}}, "Heading Set\n"},
    {"SaturatesHigh", "v99999999999", {{8, Word(INT32_MAX)}}, "Vertical Speed Set\n"},
    {"SaturatesLow", "v-99999999999", {{8, Word(INT32_MIN)}}, "Vertical Speed Set\n"},
    {"LargestValueExact", "k2147483647", {{2, Word(INT32_MAX)}}, "Speed Set\n"},
    {"SmallestValueExact", "k-2147483648", {{2, Word(INT32_MIN)}}, "Speed Set\n"},
    {"AltitudeEchoIsTheRawText", "l 12ft", {{10, 12}}, "Altitude Set\n 12ft"},
    // No command.
    {"UnknownLetter", "x100", {}, ""},
    {"DigitsOnly", "100", {}, ""},
    {"One", "1", {}, ""},
    {"LetterAfterAnotherByte", " h270", {}, ""},
    {"Empty", "", {}, ""},
    {"UpperCaseIsAnotherLetter", "G1", {}, ""},
    // Chaining: only directly adjacent letters, only in table order.
    {"HeadingThenLock", "hH", {{1, 0}, {3, 0}}, "Heading Set\nHeading Lock\n"},
    {"ValueEndsTheChain", "h270H", {{1, 270}}, "Heading Set\n"},
    {"DirectorThenEngage", "FE", {{6, 0}, {7, 0}}, "Flight Director\nAP Engage Pressed\n"},
    {"EngageThenDirector", "EF", {{7, 0}}, "AP Engage Pressed\n"},
    {"AllElevenInTableOrder",
     "hHkKTFEvVlg",
     {{1, 0}, {3, 0}, {2, 0}, {4, 0}, {5, 0}, {6, 0}, {7, 0}, {8, 0}, {9, 0}, {10, 0}, {11, 0}},
     "Heading Set\nHeading Lock\nSpeed Set\nSpeed Lock\nThrottle Arm\nFlight Director\n"
     "AP Engage Pressed\nVertical Speed Set\nAP Altitude Lock or Vert Speed Lock Pressed\n"
     "Altitude Set\ngGear Set\n"},
    {"AltitudeThenGearEchoesTheRest", "lg1", {{10, 0}, {11, 1}}, "Altitude Set\ng1Gear Set\n1"},
    {"TableOrderSkipsBackwards", "Kh5", {{4, 0}}, "Speed Lock\n"},
    // The received bytes bound everything.
    {"ZeroByteEndsTheText",
     Bytes("h2\0"
           "5",
           4),
     {{1, 2}},
     "Heading Set\n"},
    {"ZeroByteEndsTheEcho",
     Bytes("l9\0"
           "99",
           5),
     {{10, 9}},
     "Altitude Set\n9"},
    {"ZeroByteBeforeTheNextLetter", Bytes("h\0H", 3), {{1, 0}}, "Heading Set\n"},
    {"ZeroByteFirst", Bytes("\0h", 2), {}, ""},
    {"FullDatagramWithoutZeroByte",
     FullAltitudeDatagram(),
     {{10, Word(INT32_MAX)}},
     "Altitude Set\n" + std::string(1023, '9')},
    {"FullDatagramOfLetterAndSpaces", "h" + std::string(1023, ' '), {{1, 0}}, "Heading Set\n"},
};

INSTANTIATE_TEST_SUITE_P(Datagrams, CommandProtocol, ::testing::ValuesIn(kCases),
                         [](const auto& test) { return std::string(test.param.name); });

TEST(CommandProtocolBounds, LastLetterOfTheReceivedBytesReadsNothingBeyond) {
  // Only the first n bytes were received; what lies beyond must not be parsed.
  const char buffer[] = "g1h5";
  const CommandList list = ParseCommands(buffer, 1);
  ASSERT_EQ(list.count, 1u);
  EXPECT_EQ(list.items[0].event, kGearSet);
  EXPECT_EQ(list.items[0].data, 0u);
  EXPECT_EQ(list.items[0].value_length, 0u);
}

}  // namespace
}  // namespace skyhelm
