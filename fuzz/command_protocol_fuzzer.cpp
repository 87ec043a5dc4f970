// Fuzz target: a received datagram turned into commands.
//
// The datagram lives in an exactly-sized heap buffer, so any read at or past its n bytes is an
// AddressSanitizer report. Every parse is compared with a plain model of the protocol: walk the
// letter table once, consume a letter that matches the current first byte, read its value by
// atoi rules (saturating at the 32-bit bounds). That also proves the order rule: letters strictly
// increasing in table order, at most eleven.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "fuzz/fuzz_check.h"
#include "udp/command_protocol.h"

namespace {

struct ModelLetter {
  char letter;
  DWORD event;
  bool sends_value;
  bool echoes_value;
};

constexpr ModelLetter kModelTable[] = {
    {'h', 1, true, false},  {'H', 3, false, false}, {'k', 2, true, false},  {'K', 4, false, false},
    {'T', 5, false, false}, {'F', 6, false, false}, {'E', 7, false, false}, {'v', 8, true, false},
    {'V', 9, false, false}, {'l', 10, true, true},  {'g', 11, true, true},
};

bool IsCSpace(char c) { return c == ' ' || (c >= '\t' && c <= '\r'); }

std::int32_t ModelAtoi(const char* text, std::size_t length) {
  std::size_t i = 0;
  while (i < length && IsCSpace(text[i])) ++i;
  bool negative = false;
  if (i < length && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  std::int64_t value = 0;
  for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > std::int64_t{1} << 32) value = std::int64_t{1} << 32;  // far enough to saturate
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<std::int32_t>(value);
}

void CheckAgainstModel(const char* bytes, std::size_t length, const skyhelm::CommandList& list) {
  FUZZ_CHECK(list.count <= skyhelm::kCommandLetterCount);
  std::size_t text_length = 0;
  while (text_length < length && bytes[text_length] != '\0') ++text_length;
  std::size_t start = 0;
  std::size_t expected = 0;
  for (const ModelLetter& entry : kModelTable) {
    if (start == text_length || bytes[start] != entry.letter) continue;
    ++start;
    FUZZ_CHECK(expected < list.count);
    const skyhelm::Command& got = list.items[expected++];
    FUZZ_CHECK(got.letter == entry.letter);
    FUZZ_CHECK(static_cast<DWORD>(got.event) == entry.event);
    const std::int32_t value = ModelAtoi(bytes + start, text_length - start);
    FUZZ_CHECK(got.data == (entry.sends_value ? static_cast<DWORD>(value) : 0u));
    FUZZ_CHECK(got.message != nullptr && std::strlen(got.message) > 0);
    if (entry.echoes_value) {
      FUZZ_CHECK(got.value_text == bytes + start);
      FUZZ_CHECK(got.value_length == text_length - start);
    } else {
      FUZZ_CHECK(got.value_text == nullptr && got.value_length == 0);
    }
  }
  FUZZ_CHECK(list.count == expected);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The receive buffer holds at most 1024 bytes; longer inputs are cut like a filled buffer.
  const std::size_t n = size < 1024 ? size : 1024;
  auto datagram = skyhelm::fuzz::ExactCopy(data, n);
  const char* bytes = reinterpret_cast<const char*>(datagram.get());
  const skyhelm::CommandList list = skyhelm::ParseCommands(bytes, n);
  CheckAgainstModel(bytes, n, list);
  return 0;
}
