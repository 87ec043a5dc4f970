// The command protocol: from a received datagram to the simulator events it asks for.
//
// A command is one letter, case-sensitive, optionally followed by a decimal value ("h270",
// "v-500", "E"). The eleven letters are tested one after another in table order, each against
// the first byte of the text as it stands; a matching letter is consumed, so letters that follow
// one another directly in table order each apply ("hH", "FE"), while any other arrangement
// applies only the first ("EF" -> E; "h270H" -> h with 270, the next test sees "2").
//
// The value is read after every matched letter by atoi rules (C-locale white space, optional
// sign, digits up to the first other byte, 0 without digits); beyond the signed 32-bit range it
// saturates to INT32_MAX / INT32_MIN. It reaches the event as its 32-bit two's-complement word,
// or the event carries 0 for the value-less letters.
#pragma once

#include "sim/simconnect_api.h"

#include <cstddef>

#include "sim/client_events.h"

namespace skyhelm {

inline constexpr std::size_t kCommandLetterCount = 11;

struct Command {
  char letter;
  ClientEvent event;
  DWORD data;           // the event's data word
  const char* message;  // the acknowledgement for the debugger output, e.g. "Heading Set\n"
  // For "l" and "g", the text after the letter (not zero-terminated, pointing into the parsed
  // bytes), which follows the acknowledgement on the debugger output; else nullptr and 0.
  const char* value_text;
  std::size_t value_length;
};

// At most one command per letter; fixed capacity, no allocation.
struct CommandList {
  Command items[kCommandLetterCount];
  std::size_t count;
};

// The commands in `bytes` (the `length` received bytes, not necessarily zero-terminated), in the
// order they are to be acknowledged and transmitted. The text ends at the first zero byte or at
// `length`, whichever comes first; nothing at or past bytes + length is read. The list refers
// into `bytes` and is valid while they are. A text whose first byte is no letter gives none.
CommandList ParseCommands(const char* bytes, std::size_t length);

}  // namespace skyhelm
