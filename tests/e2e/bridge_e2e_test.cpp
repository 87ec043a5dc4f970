// The real bridge between the real stand-in simulator and a UDP peer, all on loopback.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/loopback_peer.h"

namespace skyhelm {
namespace {

using skyhelm::test_support::BinPath;
using skyhelm::test_support::ChildProcess;
using std::chrono::milliseconds;

constexpr milliseconds kPatience(10000);

const std::string kWorkedExampleReply =
    "v1.2,120,350,2.500000,-10.250000,3.000000,-5.000000,270,1,140,0,1,1,1,700,1,900,0,"
    "47.250000,-122.500000,268,1.000000,\n\r\n";

// The simulator's start values that give the worked-example line, separated by "|".
const char kWorkedExampleSettings[] =
    "Ground Velocity=120|Plane Altitude=350|Plane Pitch Degrees=2.5|Plane Bank Degrees=-10.25|"
    "Autopilot Flight Director Pitch=3|Autopilot Flight Director Bank=-5|"
    "Autopilot Heading Lock Dir=270|Autopilot Heading Lock=1|Autopilot Airspeed Hold Var=140|"
    "Autopilot Airspeed Hold=0|Autopilot Throttle Arm=1|Autopilot Flight Director Active=1|"
    "Autopilot Master=1|Autopilot Vertical Hold Var=700|Autopilot Vertical Hold=1|"
    "Autopilot Altitude Lock Var=900|Autopilot Altitude Lock=0|Plane Latitude=47.25|"
    "Plane Longitude=-122.5|Plane Heading Degrees True=268|Gear Center Position=1";

// The seventh field of a line: the heading bug.
std::string HeadingBugField(const std::string& line) {
  std::size_t start = 0;
  for (int comma = 0; comma < 7; ++comma) {
    start = line.find(',', start);
    if (start++ == std::string::npos) return "";
  }
  return line.substr(start, line.find(',', start) - start);
}

using Peer =
    test_support::LoopbackPeer;  // its Next() skips the "\r\n" sent before the first record

class BridgeEndToEnd : public ::testing::Test {
 protected:
  // Starts the frozen simulator with `settings`, then the bridge pointed at it, waits until the
  // bridge runs its loop, and joins a peer.
  void StartBoth(const std::string& settings = kWorkedExampleSettings) {
    std::vector<std::string> args = {"--port", "0", "--freeze"};
    for (std::size_t start = 0; start < settings.size();) {
      const std::size_t end = std::min(settings.find('|', start), settings.size());
      args.insert(args.end(), {"--set", settings.substr(start, end - start)});
      start = end + 1;
    }
    sim_ = ChildProcess::Start(BinPath("skyhelm-sim"), args);
    ASSERT_TRUE(sim_->WaitForStdout("\n", kPatience)) << sim_->Stderr();
    const std::string first_line = sim_->Stdout().substr(0, sim_->Stdout().find('\n'));
    const std::string prefix = "listening on ";
    ASSERT_EQ(first_line.rfind(prefix, 0), 0u) << first_line;

    bridge_port_ = test_support::FreeLoopbackPort(true);
    bridge_ = ChildProcess::Start(BinPath("skyhelm"), {std::to_string(bridge_port_)},
                                  {"SKYHELM_SIM_ADDRESS=" + first_line.substr(prefix.size())});
    ASSERT_TRUE(bridge_->WaitForStdout("Running...\n", kPatience))
        << bridge_->Stdout() << bridge_->Stderr();
    peer_.emplace(bridge_port_, "\r\n");
    ASSERT_TRUE(peer_->Join());
  }

  std::unique_ptr<ChildProcess> sim_;
  std::unique_ptr<ChildProcess> bridge_;
  int bridge_port_ = 0;
  std::optional<Peer> peer_;
};

TEST_F(BridgeEndToEnd, WorkedExampleLineGoesOnAfterTheSimulatorIsKilled) {
  ASSERT_NO_FATAL_FAILURE(StartBoth());
  ASSERT_EQ(peer_->Next(), kWorkedExampleReply);

  sim_->Signal(SIGKILL);
  ASSERT_TRUE(sim_->Wait(kPatience).has_value());

  // A fresh peer only hears lines sent after the simulator was gone; a command to the departed
  // simulator changes nothing.
  Peer later(bridge_port_);
  later.Send("h100");
  ASSERT_TRUE(later.Join());
  for (int i = 0; i < 200; ++i) {
    const auto datagram = later.Receive(kPatience);
    ASSERT_TRUE(datagram) << "silent after " << i;
    ASSERT_EQ(*datagram, kWorkedExampleReply);
  }
  EXPECT_TRUE(bridge_->Running());
}

TEST_F(BridgeEndToEnd, HeadingCommandReachesTheSimulatorAndComesBackInALaterLine) {
  ASSERT_NO_FATAL_FAILURE(StartBoth("Autopilot Heading Lock Dir=90"));
  const auto before = peer_->Next();
  ASSERT_TRUE(before);
  EXPECT_EQ(HeadingBugField(*before), "90");

  peer_->Send("h270");
  EXPECT_TRUE(sim_->WaitForStdout("event HEADING_BUG_SET 270\n", kPatience)) << sim_->Stdout();
  EXPECT_TRUE(bridge_->WaitForStderr("Heading Set\n", kPatience));
  EXPECT_TRUE(peer_->Next([](const std::string& d) { return HeadingBugField(d) == "270"; }))
      << "the heading bug never showed 270";
}

class BridgeStopSignal : public BridgeEndToEnd, public ::testing::WithParamInterface<int> {};

TEST_P(BridgeStopSignal, EndsTheLoopClosesAndExitsZero) {
  ASSERT_NO_FATAL_FAILURE(StartBoth());
  bridge_->Signal(GetParam());
  const auto status = bridge_->Wait(kPatience);
  ASSERT_TRUE(status.has_value()) << "still running";
  EXPECT_EQ(*status, 0);
  EXPECT_EQ(bridge_->Stdout(),
            "Initializing...\nPort is set to " + std::to_string(bridge_port_) +
                "\nSetting Up UDP Client...\nStarting Skyhelm Setup...\nRunning...\n");
  // The connection was closed, not dropped with the process: the simulator saw the client leave.
  EXPECT_TRUE(sim_->WaitForStdout("disconnected", kPatience)) << sim_->Stdout();
}

INSTANTIATE_TEST_SUITE_P(Signals, BridgeStopSignal, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto& test) { return test.param == SIGTERM ? "Term" : "Int"; });

}  // namespace
}  // namespace skyhelm
