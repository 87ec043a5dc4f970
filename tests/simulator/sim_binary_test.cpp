// skyhelm-sim as a black box: its command line, its listening line, scripted start values, event
// lines and shutdown on signals.
#include <gtest/gtest.h>

#include <SimConnect.h>

#include <csignal>

#include "sim/client_events.h"
#include "tests/simulator/raw_client.h"
#include "tests/support/child_process.h"

namespace skyhelm::simulator {
namespace {

using skyhelm::testing::ChildProcess;
using testing::RawClient;

constexpr std::chrono::milliseconds kWait(10000);
const std::string kListening = "listening on 127.0.0.1:";

std::string Sim() { return skyhelm::testing::BinPath("skyhelm-sim"); }

struct CommandLineCase {
  std::vector<std::string> args;
  int exit_code;
  const char* expected_text;  // in stdout for status 0, in stderr otherwise
};

TEST(SimBinary, CommandLineExitCodesAndTheListeningLine) {
  const CommandLineCase cases[] = {
      {{"--help"}, 0, "--time-scale"},
      {{"--list"}, 0, "Gear Center Position  [percent over 100]"},
      {{"--bogus"}, 2, "--bogus"},
      {{"--port", "65536"}, 2, "--port"},
      {{"--rate", "0"}, 2, "--rate"},
      {{"--time-scale", "-1"}, 2, "--time-scale"},
      {{"--set", "Plane Wobble=1"}, 2, "Plane Wobble"},
      {{"--set", "Plane Altitude=high"}, 2, "not a number"},
      {{"--set", "Plane Altitude"}, 2, "NAME=VALUE"},
      {{"positional"}, 2, "positional"},
  };
  for (const CommandLineCase& c : cases) {
    SCOPED_TRACE(c.args.front());
    const auto result = skyhelm::testing::RunProgram(Sim(), c.args);
    ASSERT_TRUE(result.exit_code);
    EXPECT_EQ(*result.exit_code, c.exit_code);
    EXPECT_NE((c.exit_code == 0 ? result.out : result.err).find(c.expected_text), std::string::npos)
        << result.out << result.err;
  }
  const std::string port = std::to_string(skyhelm::testing::FreeLoopbackPort(false));
  auto child = ChildProcess::Start(Sim(), {"--port", port});
  ASSERT_TRUE(child->WaitForStdout("\n", kWait)) << child->Stderr();
  EXPECT_EQ(child->Stdout(), kListening + port + "\n");
}

class SimRun : public ::testing::TestWithParam<int> {};

// On port 0 the first line names the real port; start values read back exactly through the
// bridge's definition; events are logged with signed data; a stop signal sends every client a
// quit and exits 0.
TEST_P(SimRun, StartValuesEventLinesAndQuitOnSignal) {
  auto child = ChildProcess::Start(
      Sim(), {"--port", "0", "--freeze", "--set", "PLANE HEADING DEGREES TRUE=268", "--set",
              "autopilot heading lock dir=271", "--set", "Plane Altitude=1234.9", "--set",
              "Title=Test Rig"});
  ASSERT_TRUE(child->WaitForStdout("\n", kWait)) << child->Stderr();
  ASSERT_EQ(child->Stdout().rfind(kListening, 0), 0u) << child->Stdout();
  const auto port =
      static_cast<std::uint16_t>(std::stoi(child->Stdout().substr(kListening.size())));
  RawClient a(port);
  RawClient b(port);
  a.SubscribeLikeTheBridge();
  b.Open("second");
  const auto data = a.Next(SIMCONNECT_RECV_ID_SIMOBJECT_DATA);
  ASSERT_TRUE(data);
  EXPECT_STREQ(data->TextAt(0), "Test Rig");
  EXPECT_EQ(data->At<std::int32_t>(332), 268);
  EXPECT_EQ(data->At<std::int32_t>(280), 271);
  EXPECT_EQ(data->At<std::int32_t>(260), 1234);
  ASSERT_TRUE(b.Next(SIMCONNECT_RECV_ID_OPEN));
  a.Transmit(kVerticalSpeedVarSet, static_cast<std::uint32_t>(-500));
  a.Transmit(kHeadingBugSet, 4294967295u);
  EXPECT_TRUE(
      child->WaitForStdout("event AP_VS_VAR_SET_ENGLISH -500\nevent HEADING_BUG_SET -1\n", kWait))
      << child->Stdout();
  EXPECT_NE(child->Stdout().find("client 1 connected \"Request Data\"\n"), std::string::npos);

  child->Signal(GetParam());
  EXPECT_TRUE(a.Next(SIMCONNECT_RECV_ID_QUIT));
  EXPECT_TRUE(b.Next(SIMCONNECT_RECV_ID_QUIT));
  EXPECT_EQ(child->Wait(kWait), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, SimRun, ::testing::Values(SIGTERM, SIGINT));

}  // namespace
}  // namespace skyhelm::simulator
