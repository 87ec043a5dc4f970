// The example peers of docs/protocol.md (Python and C) against the real bridge and skyhelm-sim:
// each sends h270, drains the stream and prints the newest line, which must show the new bug.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/bridge_rig.h"

namespace skyhelm {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kGenerous(20000);

struct ExamplePeer {
  const char* name;
  std::vector<std::string> command;  // program and leading arguments
};

void PrintTo(const ExamplePeer& c, std::ostream* os) { *os << c.name; }

class ExamplePeers : public ::testing::TestWithParam<ExamplePeer> {};

TEST_P(ExamplePeers, CommandTheBridgeAndPrintTheNewestLine) {
  int sim_port = 0;
  auto sim = test_support::StartSimulator({"--time-scale", "5"}, sim_port);
  ASSERT_TRUE(sim) << "skyhelm-sim did not start";
  const int port = test_support::FreeLoopbackPort(true);
  auto bridge = test_support::StartBridge(port, sim_port);
  ASSERT_TRUE(bridge) << "the bridge did not reach its loop";

  std::vector<std::string> args(GetParam().command.begin() + 1, GetParam().command.end());
  args.insert(args.end(), {"127.0.0.1", std::to_string(port), "h270"});
  const auto result =
      skyhelm::test_support::RunProgram(GetParam().command.front(), args, {}, kGenerous);
  EXPECT_EQ(result.exit_code, 0) << result.err;
  EXPECT_NE(result.out.find("heading_bug=270 "), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("altitude=3000 "), std::string::npos) << result.out;
  EXPECT_TRUE(sim->WaitForStdout("HEADING_BUG_SET 270", kGenerous)) << sim->Stdout();
}

INSTANTIATE_TEST_SUITE_P(Docs, ExamplePeers,
                         ::testing::Values(ExamplePeer{"python",
                                                       {SKYHELM_PYTHON, SKYHELM_PYTHON_PEER}},
                                           ExamplePeer{"c", {SKYHELM_C_PEER}}),
                         [](const auto& param_info) { return std::string(param_info.param.name); });

}  // namespace
}  // namespace skyhelm
