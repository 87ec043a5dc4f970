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
  std::string datagram;  // may hold zero bytes
  std::vector<Event> events;
  std::string debugger_text;  // every acknowledgement and value text, in order
};

using namespace std::string_literals;
constexpr DWORD kMax = 0x7FFFFFFFu;
constexpr DWORD kMin = 0x80000000u;
const ProtocolCase kCases[] = {
    // Letters with their values; "H" ignores its value, "l" and "g" echo their text.
    {"h270", {{1, 270}}, "Heading Set\n"},
    {"H45", {{3, 0}}, "Heading Lock\n"},
    {"k250", {{2, 250}}, "Speed Set\n"},
    {"v-500", {{8, 0xFFFFFE0Cu}}, "Vertical Speed Set\n"},
    {"l900", {{10, 900}}, "Altitude Set\n900"},
    {"g1", {{11, 1}}, "Gear Set\n1"},
    // Values by atoi rules, saturating.
    {"h", {{1, 0}}, "Heading Set\n"},
    {"k\t\n\v\f\r +7", {{2, 7}}, "Speed Set\n"},
    {"h12x34", {{1, 12}}, "Heading Set\n"},
    {"h- 5", {{1, 0}}, "Heading Set\n"},
    {"v99999999999", {{8, kMax}}, "Vertical Speed Set\n"},
    {"v-99999999999", {{8, kMin}}, "Vertical Speed Set\n"},
    {"k2147483647", {{2, kMax}}, "Speed Set\n"},
    {"k-2147483648", {{2, kMin}}, "Speed Set\n"},
    // No command.
    {"x100", {}, ""},
    {"1", {}, ""},
    {" h270", {}, ""},
    {"", {}, ""},
    // Chaining: only directly adjacent letters, only in table order.
    {"h270H", {{1, 270}}, "Heading Set\n"},
    {"EF", {{7, 0}}, "AP Engage Pressed\n"},
    {"hHkKTFEvVlg",
     {{1, 0}, {3, 0}, {2, 0}, {4, 0}, {5, 0}, {6, 0}, {7, 0}, {8, 0}, {9, 0}, {10, 0}, {11, 0}},
     "Heading Set\nHeading Lock\nSpeed Set\nSpeed Lock\nThrottle Arm\nFlight Director\n"
     "AP Engage Pressed\nVertical Speed Set\nAP Altitude Lock or Vert Speed Lock Pressed\n"
     "Altitude Set\ngGear Set\n"},
    {"lg1", {{10, 0}, {11, 1}}, "Altitude Set\ng1Gear Set\n1"},
    // A zero byte ends the text; a full datagram without one ends at its length.
    {"h2\0005"s, {{1, 2}}, "Heading Set\n"},  // \000 is a zero byte
    {"l9\00099"s, {{10, 9}}, "Altitude Set\n9"},
    {"h\0H"s, {{1, 0}}, "Heading Set\n"},
    {"\0h"s, {}, ""},
    {"l" + std::string(1023, '9'), {{10, kMax}}, "Altitude Set\n" + std::string(1023, '9')},
    {"h" + std::string(1023, ' '), {{1, 0}}, "Heading Set\n"},
};

TEST(CommandProtocol, TurnsEachDatagramIntoItsEvents) {
  for (const ProtocolCase& c : kCases) {
    // A heap block of exactly the datagram's size, so that AddressSanitizer sees any read past it;
    // then the same bytes followed by more, which must not count either.
    for (const std::string& bytes : {c.datagram, c.datagram + "9hH"}) {
      const auto storage = std::make_unique<char[]>(bytes.size());
      std::memcpy(storage.get(), bytes.data(), bytes.size());
      const CommandList list = ParseCommands(storage.get(), c.datagram.size());
      std::vector<Event> events;
      std::string debugger_text;
      for (std::size_t i = 0; i < list.count; ++i) {
        const Command& command = list.items[i];
        events.emplace_back(command.event, command.data);
        debugger_text += command.message;
        if (command.value_text != nullptr)
          debugger_text.append(command.value_text, command.value_length);
      }
      EXPECT_EQ(events, c.events) << c.datagram.substr(0, 20) << " of " << bytes.size();
      EXPECT_EQ(debugger_text, c.debugger_text) << c.datagram.substr(0, 20);
    }
  }
}

}  // namespace
}  // namespace skyhelm
