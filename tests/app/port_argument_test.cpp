// The port argument: atoi rules, saturation, and the 16 bits the socket address carries. (The
// default and the ignored extra arguments: startup_test.)
#include "app/port_argument.h"
#include "tests/support/test_names.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace skyhelm {
namespace {

struct PortCase {
  const char* argument;
  std::int32_t port;
  std::uint16_t socket_port;
};

void PrintTo(const PortCase& c, std::ostream* os) { *os << ::testing::PrintToString(c.argument); }

class PortArgument : public ::testing::TestWithParam<PortCase> {};

TEST_P(PortArgument, ConvertsByAtoiRulesAndKeepsLow16Bits) {
  const PortCase& c = GetParam();
  EXPECT_EQ(ParsePortArgument(c.argument), c.port) << '"' << c.argument << '"';
  EXPECT_EQ(SocketPort(c.port), c.socket_port) << '"' << c.argument << '"';
}

INSTANTIATE_TEST_SUITE_P(
    Table, PortArgument,
    ::testing::Values(
        PortCase{"47001", 47001, 47001}, PortCase{"900x", 900, 900}, PortCase{"abc", 0, 0},
        PortCase{"", 0, 0}, PortCase{"-1", -1, 65535}, PortCase{"70000", 70000, 4464},
        PortCase{"  \t\n+80", 80, 80}, PortCase{"- 5", 0, 0}, PortCase{"0x50", 0, 0},
        PortCase{"2147483647", 2147483647, 65535}, PortCase{"2147483648", 2147483647, 65535},
        PortCase{"99999999999999999999999", 2147483647, 65535},
        PortCase{"-2147483648", INT32_MIN, 0}, PortCase{"-99999999999", INT32_MIN, 0}),
    [](const auto& test) {
      return std::to_string(test.index) + "_" + test_support::TestName(test.param.argument);
    });

}  // namespace
}  // namespace skyhelm
