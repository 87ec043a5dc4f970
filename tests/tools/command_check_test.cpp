// The command check: what a datagram does at the bridge, and which texts it refuses.
#include "tools/common/command_check.h"
#include "tests/support/test_names.h"

#include <gtest/gtest.h>

#include <string>

namespace skyhelm::tools {
namespace {

struct CheckCase {
  std::string text;
  bool ok;
  const char* explanation;
  const char* problem_has;  // "" when ok
};

void PrintTo(const CheckCase& c, std::ostream* os) {
  *os << ::testing::PrintToString(c.text.substr(0, 40));
}

class CommandCheckTable : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CommandCheckTable, ExplainsAndJudges) {
  const CheckCase& c = GetParam();
  const CommandCheck check = CheckCommand(c.text.data(), c.text.size());
  EXPECT_EQ(check.ok, c.ok) << check.problem;
  EXPECT_EQ(check.explanation, c.explanation);
  EXPECT_NE(check.problem.find(c.problem_has), std::string::npos) << check.problem;
  EXPECT_EQ(check.problem.empty(), c.ok);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Texts, CommandCheckTable, ::testing::Values(
    CheckCase{"h270", true, "heading bug 270", ""},
    CheckCase{"v-500", true, "vertical speed setting -500 ft/min", ""},
    CheckCase{"hH", false, "heading bug 0, then heading hold", "h reads no value here"},
    CheckCase{"h", false, "heading bug 0", "h without a value would take 0"},
    CheckCase{"h0", true, "heading bug 0", ""},
    CheckCase{"h360", true, "heading bug 360", ""},
    CheckCase{"h400", false, "heading bug 400", "h400 is out of range: heading bug takes 0 to 360"},
    CheckCase{"h-5", false, "heading bug -5", "out of range"},
    CheckCase{"v-9901", false, "vertical speed setting -9901 ft/min", "-9900 to 9900"},
    CheckCase{"k1000", false, "speed setting 1000 kt", "0 to 999"},
    CheckCase{"l-1", false, "altitude setting -1 ft", "0 to 99900"},
    CheckCase{"g", true, "gear up", ""},
    CheckCase{"g-7", true, "gear down", ""},
    CheckCase{"FE", true, "flight director, then autopilot master", ""},
    CheckCase{"g1", true, "gear down", ""},
    CheckCase{"l 4500", true, "altitude setting 4500 ft", ""},
    CheckCase{"help", false, "heading bug 0", "\"elp\" after h would be ignored"},
    CheckCase{"gear down", false, "gear up", "\"ear down\" after g"},
    CheckCase{"level off", false, "altitude setting 0 ft", "after l would be ignored"},
    CheckCase{"V1000", false, "altitude hold", "V takes no value"},
    CheckCase{"EH", false, "autopilot master", "\"H\" after E"},
    CheckCase{"l4500V", false, "altitude setting 4500 ft", "\"V\" after l4500"},
    CheckCase{"e", false, "nothing", "commands nothing"},
    CheckCase{"1", false, "nothing", "commands nothing"},
    CheckCase{"", false, "nothing", "empty"},
    CheckCase{std::string("h90\0H", 5), false, "heading bug 90", "the 1 byte(s) after"},
    CheckCase{"k99999999999", false, "speed setting 2147483647 kt", "32-bit range"},
    CheckCase{"v-99999999999", false, "vertical speed setting -2147483648 ft/min", "32-bit"},
    CheckCase{"h" + std::string(1024, '0'), false, "nothing", "1025 bytes"}),
    [](const auto& param_info) {
      return std::to_string(param_info.index) + "_" + test_support::TestName(param_info.param.text);
    });
// clang-format on

}  // namespace
}  // namespace skyhelm::tools
