// The real bridge between the real stand-in simulator and a UDP peer, all on loopback.
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/bridge_rig.h"
#include "tests/support/loopback_peer.h"

namespace skyhelm {
namespace {

using skyhelm::test_support::ChildProcess;
using std::chrono::milliseconds;

using test_support::kPatience;

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

using Peer =
    test_support::LoopbackPeer;  // its Next() skips the "\r\n" sent before the first record

class BridgeEndToEnd : public ::testing::Test {
 protected:
  // Starts the frozen simulator with `settings`, then the bridge pointed at it, waits until the
  // bridge runs its loop, and joins a peer. `closed_streams`: the bridge starts with descriptors
  // 0-2 closed, as some service managers start a program (it then prints nothing).
  void StartBoth(const std::string& settings = kWorkedExampleSettings,
                 bool closed_streams = false) {
    std::vector<std::string> args = {"--freeze"};
    for (std::size_t start = 0; start < settings.size();) {
      const std::size_t end = std::min(settings.find('|', start), settings.size());
      args.insert(args.end(), {"--set", settings.substr(start, end - start)});
      start = end + 1;
    }
    int sim_port = 0;
    sim_ = test_support::StartSimulator(args, sim_port);
    ASSERT_TRUE(sim_) << "skyhelm-sim did not start";
    bridge_port_ = test_support::FreeLoopbackPort(true);
    if (closed_streams) {
      bridge_ =
          ChildProcess::Start("/bin/sh",
                              {"-c", "exec \"$0\" \"$1\" <&- >&- 2>&-",
                               test_support::BinPath("skyhelm"), std::to_string(bridge_port_)},
                              {"SKYHELM_SIM_ADDRESS=127.0.0.1:" + std::to_string(sim_port)});
    } else {
      bridge_ = test_support::StartBridge(bridge_port_, sim_port);
    }
    ASSERT_TRUE(bridge_) << "the bridge did not reach its loop";
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

// Otherwise the UDP socket or the simulator connection would become a standard stream: a status
// text sent as a datagram binds the socket to a random port, or corrupts the simulator's stream.
TEST_F(BridgeEndToEnd, BindsItsPortAndKeepsTheStreamCleanWithStandardStreamsClosed) {
  ASSERT_NO_FATAL_FAILURE(StartBoth(kWorkedExampleSettings, true));
  ASSERT_EQ(peer_->Next(), kWorkedExampleReply);
  peer_->Send("h100");
  ASSERT_TRUE(sim_->WaitForStdout("event HEADING_BUG_SET 100", kPatience)) << sim_->Stdout();
  EXPECT_TRUE(bridge_->Running());
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
