// The example peers of docs/protocol.md (Python and C) against the real bridge and skyhelm-sim:
// each sends h270, drains the stream and prints the newest line, which must show the new bug.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/child_process.h"

namespace skyhelm {
namespace {

using skyhelm::test_support::BinPath;
using skyhelm::test_support::ChildProcess;
using std::chrono::milliseconds;

constexpr milliseconds kGenerous(20000);

struct ExamplePeer {
  const char* name;
  std::vector<std::string> command;  // program and leading arguments
};

class ExamplePeers : public ::testing::TestWithParam<ExamplePeer> {};

TEST_P(ExamplePeers, CommandTheBridgeAndPrintTheNewestLine) {
  auto sim = ChildProcess::Start(BinPath("skyhelm-sim"), {"--port", "0", "--time-scale", "5"});
  ASSERT_TRUE(sim->WaitForStdout("\n", kGenerous)) << sim->Stderr();
  const std::string first = sim->Stdout().substr(0, sim->Stdout().find('\n'));
  const std::string sim_address = first.substr(first.rfind(' ') + 1);
  const int port = skyhelm::test_support::FreeLoopbackPort(true);
  auto bridge = ChildProcess::Start(BinPath("skyhelm"), {std::to_string(port)},
                                    {"SKYHELM_SIM_ADDRESS=" + sim_address});
  ASSERT_TRUE(bridge->WaitForStdout("Running...", kGenerous)) << bridge->Stdout();

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
