// The port argument: atoi rules, saturation, and the 16 bits the socket address carries. (The
// default and the ignored extra arguments: startup_test.)
#include "app/port_argument.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace skyhelm {
namespace {

TEST(PortArgument, ConvertsByAtoiRulesAndKeepsLow16Bits) {
  // clang-format off
  const struct {
    const char* argument;
    std::int32_t port;
    std::uint16_t socket_port;
  } cases[] = {
      {"47001", 47001, 47001}, {"900x", 900, 900}, {"abc", 0, 0}, {"-1", -1, 65535},
      {"70000", 70000, 4464}, {"  \t\n+80", 80, 80}, {"- 5", 0, 0}, {"0x50", 0, 0},
      {"2147483647", INT32_MAX, 65535}, {"99999999999999999999999", INT32_MAX, 65535},
      {"-2147483648", INT32_MIN, 0}, {"-99999999999", INT32_MIN, 0}};
  // clang-format on
  for (const auto& c : cases) {
    EXPECT_EQ(ParsePortArgument(c.argument), c.port) << '"' << c.argument << '"';
    EXPECT_EQ(SocketPort(c.port), c.socket_port) << '"' << c.argument << '"';
  }
}

}  // namespace
}  // namespace skyhelm
