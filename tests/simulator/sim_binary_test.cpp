// skyhelm-sim as a black box: its command line, its listening line, scripted start values and
// event lines, shutdown on signals, and its memory with a client that does not read.
#include <gtest/gtest.h>

#include <SimConnect.h>

#include <csignal>
#include <fstream>
#include <sstream>

#include "sim/client_events.h"
#include "tests/simulator/raw_client.h"
#include "tests/support/child_process.h"

namespace skyhelm::simulator {
namespace {

using skyhelm::testing::ChildProcess;
using skyhelm::testing::RunProgram;
using std::chrono::milliseconds;
using testing::RawClient;

constexpr milliseconds kWait(10000);
const char kListening[] = "listening on 127.0.0.1:";

std::string Sim() { return skyhelm::testing::BinPath("skyhelm-sim"); }

// Starts the simulator on a free port and returns it with the port from its first line.
std::unique_ptr<ChildProcess> StartSim(std::vector<std::string> args, std::uint16_t& port,
                                       const std::vector<std::string>& env = {}) {
  args.insert(args.begin(), {"--port", "0"});
  auto child = ChildProcess::Start(Sim(), args, env);
  if (!child->WaitForStdout("\n", kWait)) return child;
  const std::string& out = child->Stdout();
  if (out.rfind(kListening, 0) == 0) {
    port = static_cast<std::uint16_t>(std::stoi(out.substr(sizeof kListening - 1)));
  }
  return child;
}

long ResidentKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
  }
  return -1;
}

TEST(SimBinary, FirstLineNamesTheRealPort) {
  const int wanted = skyhelm::testing::FreeLoopbackPort(false);
  auto child = ChildProcess::Start(Sim(), {"--port", std::to_string(wanted)});
  ASSERT_TRUE(child->WaitForStdout("\n", kWait)) << child->Stderr();
  EXPECT_EQ(child->Stdout(), kListening + std::to_string(wanted) + "\n");

  std::uint16_t port = 0;
  auto any = StartSim({}, port);
  ASSERT_NE(port, 0) << any->Stdout();
  RawClient client(port);
  EXPECT_TRUE(client.connected());
}

struct CommandLineCase {
  std::vector<std::string> args;
  int exit_code;
  const char* expected_text;  // in stdout for status 0, in stderr otherwise
};

TEST(SimBinary, CommandLineExitCodes) {
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
    const auto result = RunProgram(Sim(), c.args);
    ASSERT_TRUE(result.exit_code);
    EXPECT_EQ(*result.exit_code, c.exit_code);
    EXPECT_NE((c.exit_code == 0 ? result.out : result.err).find(c.expected_text), std::string::npos)
        << result.out << result.err;
  }
}

TEST(SimBinary, StartValuesReadBackExactlyAndEventsAreLogged) {
  std::uint16_t port = 0;
  auto child = StartSim({"--freeze", "--set", "PLANE HEADING DEGREES TRUE=268", "--set",
                         "autopilot heading lock dir=271", "--set", "Plane Altitude=1234.9",
                         "--set", "Title=Test Rig"},
                        port);
  ASSERT_NE(port, 0);
  RawClient client(port);
  client.SubscribeLikeTheBridge();
  const auto data = client.NextWithId(SIMCONNECT_RECV_ID_SIMOBJECT_DATA);
  ASSERT_TRUE(data);
  EXPECT_STREQ(reinterpret_cast<const char*>(data->block()), "Test Rig");
  EXPECT_EQ(testing::BlockInt32(*data, 332), 268);
  EXPECT_EQ(testing::BlockInt32(*data, 280), 271);
  EXPECT_EQ(testing::BlockInt32(*data, 260), 1234);
  client.Transmit(kVerticalSpeedVarSet, static_cast<std::uint32_t>(-500));
  client.Transmit(kHeadingBugSet, 4294967295u);
  EXPECT_TRUE(
      child->WaitForStdout("event AP_VS_VAR_SET_ENGLISH -500\nevent HEADING_BUG_SET -1\n", kWait))
      << child->Stdout();
  EXPECT_NE(child->Stdout().find("client 1 connected \"Request Data\"\n"), std::string::npos);
}

class SimSignal : public ::testing::TestWithParam<int> {};

TEST_P(SimSignal, EveryClientGetsQuitAndTheProgramExitsZero) {
  std::uint16_t port = 0;
  auto child = StartSim({}, port);
  ASSERT_NE(port, 0);
  RawClient a(port);
  RawClient b(port);
  a.SubscribeLikeTheBridge();
  b.Open("second");
  ASSERT_TRUE(a.NextWithId(SIMCONNECT_RECV_ID_SIMOBJECT_DATA));
  ASSERT_TRUE(b.NextWithId(SIMCONNECT_RECV_ID_OPEN));
  child->Signal(GetParam());
  EXPECT_TRUE(a.NextWithId(SIMCONNECT_RECV_ID_QUIT));
  EXPECT_TRUE(b.NextWithId(SIMCONNECT_RECV_ID_QUIT));
  const auto status = child->Wait(kWait);
  ASSERT_TRUE(status);
  EXPECT_EQ(*status, 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, SimSignal, ::testing::Values(SIGTERM, SIGINT));

// Reports the resident memory while one client reads nothing; bounded queues keep it flat.
TEST(SimBinary, MemoryStaysBoundedWithAClientThatNeverReads) {
  std::uint16_t port = 0;
  // Under AddressSanitizer freed blocks sit in a quarantine that would dwarf the queues.
  auto child = StartSim({"--rate", "1000"}, port, {"ASAN_OPTIONS=quarantine_size_mb=1"});
  ASSERT_NE(port, 0);
  RawClient slow(port, 4096);
  slow.SubscribeLikeTheBridge();
  for (int i = 0; i < 200; ++i) slow.Add(1, "Title", nullptr, SIMCONNECT_DATATYPE_STRING256);
  slow.RequestData(1, 1, SIMCONNECT_PERIOD_SIM_FRAME);  // about 51 MB per second of frames
  RawClient fast(port);
  fast.SubscribeLikeTheBridge();
  for (int i = 0; i < 200; ++i) ASSERT_TRUE(fast.NextWithId(SIMCONNECT_RECV_ID_SIMOBJECT_DATA));
  const long early_kb = ResidentKb(child->pid());
  for (int i = 0; i < 3000; ++i) ASSERT_TRUE(fast.NextWithId(SIMCONNECT_RECV_ID_SIMOBJECT_DATA));
  const long late_kb = ResidentKb(child->pid());
  std::printf(
      "skyhelm-sim resident memory with a non-reading client: %ld kB after 200 frames, "
      "%ld kB after 3200 frames\n",
      early_kb, late_kb);
  RecordProperty("rss_kb", std::to_string(late_kb));
  EXPECT_GT(late_kb, 0);
  EXPECT_LT(late_kb, 64 * 1024);
}

}  // namespace
}  // namespace skyhelm::simulator
