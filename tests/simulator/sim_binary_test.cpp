// skyhelm-sim as a black box: its command line, its listening line and shutdown on signals.
#include <gtest/gtest.h>

#include <SimConnect.h>

#include <csignal>

#include "tests/simulator/raw_client.h"
#include "tests/support/child_process.h"

namespace skyhelm::simulator {
namespace {

using skyhelm::test_support::ChildProcess;
using test_support::RawClient;

constexpr std::chrono::milliseconds kWait(10000);

std::string Sim() { return skyhelm::test_support::BinPath("skyhelm-sim"); }

TEST(SimBinary, CommandLineExitCodesAndTexts) {
  const struct {
    std::vector<std::string> args;
    int exit_code;
    const char* expected_text;  // in stdout for status 0, in stderr otherwise
  } cases[] = {
      {{"--help"}, 0, "--time-scale"},
      {{"--list"}, 0, "Gear Center Position  [percent over 100]"},
      {{"--version"}, 0, "skyhelm-sim 0."},
      {{"--bogus"}, 2, "--bogus"},
      {{"--port", "70000"}, 2, "\"70000\" is not a port number from 0 to 65535"},
      {{"--set", "Plane Wobble=1"}, 2, "Plane Wobble"},
      {{"--set", "Plane Altitude=high"}, 2, "not a number"},
      {{"--set", "Plane Altitude"}, 2, "NAME=VALUE"},
      {{"--set", "Plane Latitude=91"}, 2, "91 is outside"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args.back());
    const auto result = skyhelm::test_support::RunProgram(Sim(), c.args);
    EXPECT_EQ(result.exit_code, c.exit_code);
    EXPECT_NE((c.exit_code == 0 ? result.out : result.err).find(c.expected_text), std::string::npos)
        << result.out << result.err;
  }
}

// The first line names the port; Ctrl+C sends every client a quit and exits 0. (Node-simconnect
// and the bridge check the other lines and the data.)
TEST(SimBinary, ServesTheBridgeAndQuitsEveryClientOnCtrlC) {
  const int port = skyhelm::test_support::FreeLoopbackPort(false);
  auto child = ChildProcess::Start(Sim(), {"--port", std::to_string(port), "--freeze"});
  ASSERT_TRUE(child->WaitForStdout("\n", kWait)) << child->Stderr();
  ASSERT_EQ(child->Stdout(), "listening on 127.0.0.1:" + std::to_string(port) + "\n");
  RawClient a(static_cast<std::uint16_t>(port));
  RawClient b(static_cast<std::uint16_t>(port));
  a.SubscribeLikeTheBridge();
  b.Open("second");
  ASSERT_TRUE(a.Next(SIMCONNECT_RECV_ID_SIMOBJECT_DATA));
  ASSERT_TRUE(child->WaitForStdout("client 2 connected \"second\"\n", kWait)) << child->Stdout();
  child->Signal(SIGINT);
  EXPECT_TRUE(a.Next(SIMCONNECT_RECV_ID_QUIT));
  EXPECT_TRUE(b.Next(SIMCONNECT_RECV_ID_QUIT));
  EXPECT_EQ(child->Wait(kWait), 0);
}

}  // namespace
}  // namespace skyhelm::simulator
