// The real binary's start-up with no simulator listening: exact standard output, status 0.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/test_names.h"

namespace skyhelm {
namespace {

using skyhelm::test_support::BinPath;
using skyhelm::test_support::ChildProcess;
using skyhelm::test_support::FreeLoopbackPort;
using skyhelm::test_support::RunProgram;
using skyhelm::test_support::StderrMode;

struct StartupCase {
  std::vector<std::string> args;
  const char* shown_port;
};

void PrintTo(const StartupCase& c, std::ostream* os) {
  *os << "skyhelm " << test_support::Joined(c.args);
}

class Startup : public ::testing::TestWithParam<StartupCase> {};

TEST_P(Startup, WritesTheFourTextsAndExitsZeroWithoutSimulator) {
  const StartupCase& c = GetParam();
  // A port that nothing listens on, so the connection is refused at once.
  const std::string nowhere = "127.0.0.1:" + std::to_string(FreeLoopbackPort(false));
  const auto result = RunProgram(BinPath("skyhelm"), c.args, {"SKYHELM_SIM_ADDRESS=" + nowhere});
  ASSERT_TRUE(result.exit_code.has_value()) << "did not end";
  EXPECT_EQ(*result.exit_code, 0);
  EXPECT_EQ(result.out, std::string("Initializing...\nPort is set to ") + c.shown_port +
                            "\nSetting Up UDP Client...\nStarting Skyhelm Setup...\n");
  // The debugger copies of the status messages go to standard error, in the same order.
  EXPECT_NE(
      result.err.find("Initializing...\nSetting Up UDP Client...\nStarting Skyhelm Setup...\n"),
      std::string::npos)
      << result.err;
}

// The port is shown as the whole number given (not its low 16 bits); extra arguments are ignored.
INSTANTIATE_TEST_SUITE_P(Arguments, Startup,
                         ::testing::Values(StartupCase{{}, "47001"},
                                           StartupCase{{"-1", "extra"}, "-1"},
                                           StartupCase{{"70000"}, "70000"}),
                         [](const auto& test) {
                           return test_support::TestName(test_support::Joined(test.param.args));
                         });

// Standard error into standard output, as in a log file written with 2>&1 (or a terminal): each
// status text once, everything in the order written, the client library's complaint last.
TEST(StartupIntoOneLog, ShowsEachStatusOnceInTheOrderWritten) {
  const std::string nowhere = "127.0.0.1:" + std::to_string(FreeLoopbackPort(false));
  auto bridge = ChildProcess::Start(BinPath("skyhelm"), {"900x"},
                                    {"SKYHELM_SIM_ADDRESS=" + nowhere}, StderrMode::kIntoStdout);
  ASSERT_NE(bridge, nullptr);
  ASSERT_EQ(bridge->Wait(std::chrono::milliseconds(10000)), 0);
  const std::string texts =
      "Initializing...\nPort is set to 900\nSetting Up UDP Client...\nStarting Skyhelm Setup...\n";
  EXPECT_EQ(bridge->Stdout().substr(0, texts.size() + 24), texts + "SimConnect_Open failed: ")
      << bridge->Stdout();
  EXPECT_EQ(bridge->Stdout().find('\n', texts.size()), bridge->Stdout().size() - 1);
}

// As with the simulator's own library, the open succeeds once the connection is up: against a
// listener that never answers, the bridge runs (with no data) and the library says why, once.
TEST(StartupWithASilentListener, RunsAndSaysOnceThatNoAnswerCame) {
  sockaddr_in address{};
  const int listener = test_support::ListenOnLoopback(4, address);
  ASSERT_GE(listener, 0);
  const std::string silent = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
  auto bridge = ChildProcess::Start(BinPath("skyhelm"), {std::to_string(FreeLoopbackPort(true))},
                                    {"SKYHELM_SIM_ADDRESS=" + silent});
  ASSERT_NE(bridge, nullptr);
  const std::chrono::milliseconds patience(10000);
  EXPECT_TRUE(bridge->WaitForStdout("Running...\n", patience)) << bridge->Stdout();
  const std::string why = "SimConnect: the simulator did not answer in time (" + silent + ")\n";
  EXPECT_TRUE(bridge->WaitForStderr(why, patience)) << bridge->Stderr();
  EXPECT_TRUE(bridge->Running());
  EXPECT_EQ(bridge->Stderr().find("SimConnect:"), bridge->Stderr().rfind("SimConnect:"));
  ::close(listener);
}

}  // namespace
}  // namespace skyhelm
