// The real bridge between the stand-in simulator (or a scripted one) and UDP peers, all on
// loopback: the worked example, the simulator killed, stopped or sending garbage, a departed peer,
// the stop signals, closed standard streams and a standard error nobody reads. The valgrind stage
// runs these with the bridge under memcheck (SKYHELM_BRIDGE_WRAPPER).
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/simconnect/wire_protocol.h"
#include "sim/telemetry_schema.h"
#include "tests/platform/scripted_sim_server.h"
#include "tests/support/bridge_rig.h"
#include "tests/support/loopback_peer.h"

namespace skyhelm::test_support {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Requests the bridge sends while it sets up: open, 22 entries, the data request, 11 mappings.
constexpr std::size_t kSetUpRequests = 1 + 22 + 1 + 11;
constexpr std::size_t kGroundSpeedField = 0;
constexpr std::size_t kHeadingBugField = 6;

const std::string kWorkedExampleReply =
    "v1.2,120,350,2.500000,-10.250000,3.000000,-5.000000,270,1,140,0,1,1,1,700,1,900,0,"
    "47.250000,-122.500000,268,1.000000,\n\r\n";

class BridgeRun : public ::testing::Test {
 protected:
  // The frozen simulator set to the worked example, the bridge on it, and a peer that has joined.
  void StartBoth(StderrMode stderr_mode = StderrMode::kCaptured) {
    // The simulator's start values that give the worked-example line, one "--set" per line.
    std::vector<std::string> args = {"--freeze"};
    std::ifstream settings(SKYHELM_WORKED_EXAMPLE);
    for (std::string setting; std::getline(settings, setting);)
      args.insert(args.end(), {"--set", setting});
    ASSERT_EQ(args.size(), 43u) << SKYHELM_WORKED_EXAMPLE;
    sim_ = StartSimulator(args, sim_port_);
    ASSERT_NE(sim_, nullptr) << "skyhelm-sim did not start";
    ASSERT_NO_FATAL_FAILURE(
        StartBridgeAndJoin("127.0.0.1:" + std::to_string(sim_port_), stderr_mode));
  }
  void StartBridgeAndJoin(const std::string& sim_address,
                          StderrMode stderr_mode = StderrMode::kCaptured) {
    udp_port_ = FreeLoopbackPort(true);
    bridge_ = StartBridge(udp_port_, sim_address, {}, stderr_mode);
    ASSERT_NE(bridge_, nullptr) << "the bridge did not reach its loop";
    peer_ = std::make_unique<LoopbackPeer>(udp_port_, "\r\n");  // skips the line before a record
    ASSERT_TRUE(peer_->Join());
  }

  // After the simulator side has failed: the last line keeps coming (20 in a row, twice), to a
  // fresh peer too, commands (transmitted into the void) change nothing, and `stop` (SIGTERM or
  // SIGINT) still ends the bridge with status 0.
  void ExpectLastLineServedThenCleanStop(const std::string& last, int stop = SIGTERM) {
    ASSERT_FALSE(last.empty());
    for (int round = 0; round < 2; ++round) {
      if (round == 1) peer_ = std::make_unique<LoopbackPeer>(udp_port_);
      peer_->Send("1");
      while (peer_->Receive(milliseconds(0))) {
      }
      for (int i = 0; i < 20; ++i) ASSERT_EQ(peer_->Receive(kPatience), last) << round << i;
      for (const char* command : {"h200", "E", "g1", "hHkKTFEvVlg", "l-1"}) peer_->Send(command);
    }
    ASSERT_TRUE(bridge_->Running());
    bridge_->Signal(stop);
    EXPECT_EQ(bridge_->Wait(kPatience), 0) << bridge_->Stderr();
  }

  std::unique_ptr<ChildProcess> sim_;
  std::unique_ptr<ChildProcess> bridge_;
  std::unique_ptr<LoopbackPeer> peer_;
  int sim_port_ = 0;
  int udp_port_ = 0;
};

class SimulatorGoesAway : public BridgeRun, public ::testing::WithParamInterface<int> {};

TEST_P(SimulatorGoesAway, WorkedExampleLineIsServedOn) {
  ASSERT_NO_FATAL_FAILURE(StartBoth());
  ASSERT_EQ(peer_->Next(), kWorkedExampleReply);
  sim_->Signal(GetParam());
  ASSERT_TRUE(sim_->Wait(kPatience).has_value());
  ExpectLastLineServedThenCleanStop(kWorkedExampleReply, GetParam() == SIGKILL ? SIGINT : SIGTERM);
}

INSTANTIATE_TEST_SUITE_P(KilledOrStopped, SimulatorGoesAway, ::testing::Values(SIGKILL, SIGTERM),
                         [](const auto& p) { return p.param == SIGKILL ? "Kill" : "Term"; });

Bytes DataMessage(std::int32_t ground_speed_kt) {
  std::uint8_t record[kTelemetryRecordBytes] = {};
  std::memcpy(record + kTelemetryFields[kGroundSpeedField].record_offset, &ground_speed_kt, 4);
  Bytes message;
  wire::EncodeSimObjectDataMessage(wire::kDefaultProtocol, kTelemetryRequest, 0,
                                   kTelemetryDefinition, 22, record, sizeof record, message);
  return message;
}

// A header with a size no message has, or half a data message and then the end of the connection.
class SimulatorSendsGarbage : public BridgeRun, public ::testing::WithParamInterface<bool> {};

TEST_P(SimulatorSendsGarbage, ConnectionCountsAsBrokenAndBridgeGoesOn) {
  ScriptedSimServer fake;
  ASSERT_NO_FATAL_FAILURE(StartBridgeAndJoin(fake.Address()));
  ASSERT_TRUE(fake.WaitForRequests(kSetUpRequests));
  ASSERT_TRUE(fake.Send(DataMessage(321)));
  const auto last =
      peer_->Next([](const std::string& d) { return LineField(d, kGroundSpeedField) == "321"; });
  ASSERT_TRUE(last.has_value());

  Bytes half = DataMessage(999);
  half.resize(half.size() / 2);
  Bytes impossible_size;
  for (std::uint32_t word : {0xFFFFFFFFu, 1u, 8u, 0u}) wire::PutU32(impossible_size, word);
  ASSERT_TRUE(fake.Send(GetParam() ? half : impossible_size));
  if (GetParam()) {
    fake.Disconnect();
  } else {
    ASSERT_TRUE(fake.WaitForClientGone()) << "the client kept a broken stream open";
  }
  fake.Send(DataMessage(555));  // whatever follows the garbage is never read
  ExpectLastLineServedThenCleanStop(*last);
}

INSTANTIATE_TEST_SUITE_P(Kinds, SimulatorSendsGarbage, ::testing::Bool(), [](const auto& p) {
  return p.param ? "HalfAMessageThenClosed" : "ImpossibleSize";
});

// Every send to a peer whose port has closed draws an ICMP port unreachable: the next sender
// takes over at once, and its datagrams become exactly their events (a 1024-byte one is applied,
// a 1025-byte one is a failed receive).
TEST_F(BridgeRun, PeerWithClosedPortIsReplacedAndCommandsBecomeExactlyTheirEvents) {
  ASSERT_NO_FATAL_FAILURE(StartBoth());
  peer_->Send("h11");
  ASSERT_TRUE(
      peer_->Next([](const std::string& d) { return LineField(d, kHeadingBugField) == "11"; }));
  peer_.reset();
  LoopbackPeer next(udp_port_);
  ASSERT_TRUE(next.Join());
  const std::vector<std::string> datagrams = {
      "h22", "v-500", "FE", "", "l900" + std::string(1020, ' '), "h777" + std::string(1021, '7'),
      "g1",  "h1"};
  for (const std::string& datagram : datagrams) next.Send(datagram);
  ASSERT_TRUE(sim_->WaitForStdout("event HEADING_BUG_SET 1\n", kPatience)) << sim_->Stdout();
  ASSERT_TRUE(bridge_->Running());
  bridge_->Signal(SIGTERM);
  EXPECT_EQ(bridge_->Wait(kPatience), 0) << bridge_->Stderr();
  EXPECT_EQ(bridge_->Stdout(),
            "Initializing...\nPort is set to " + std::to_string(udp_port_) +
                "\nSetting Up UDP Client...\nStarting Skyhelm Setup...\nRunning...\n");
  // The connection was closed, not dropped with the process: the simulator saw the client leave.
  EXPECT_TRUE(sim_->WaitForStdout("disconnected", kPatience)) << sim_->Stdout();
  sim_->Signal(SIGTERM);
  sim_->Wait(kPatience);
  EXPECT_EQ(
      EventLines(sim_->Stdout()),
      (std::vector<std::string>{
          "event HEADING_BUG_SET 11", "event HEADING_BUG_SET 22",
          "event AP_VS_VAR_SET_ENGLISH -500", "event TOGGLE_FLIGHT_DIRECTOR 0", "event AP_MASTER 0",
          "event AP_ALT_VAR_SET_ENGLISH 900", "event GEAR_SET 1", "event HEADING_BUG_SET 1"}));
}

// Standard streams closed, as some service managers start a program: otherwise the UDP socket or
// the simulator connection would become one, and a status text would bind the socket to a random
// port or corrupt the simulator's stream. Standard error on a pipe that nobody reads (a stalled
// supervisor, CI job or ssh), or whose reader has gone: the acknowledgements are dropped, and
// neither the lines nor a stop are held back; the bridge is not ended by SIGPIPE either.
class StandardStreams : public BridgeRun, public ::testing::WithParamInterface<StderrMode> {};

TEST_P(StandardStreams, HoldNeitherTheLinesNorTheCommandsNorTheStop) {
  ASSERT_NO_FATAL_FAILURE(StartBoth(GetParam()));
  ASSERT_EQ(peer_->Next(), kWorkedExampleReply);
  // Commands until the pipe (64 KiB on Linux) cannot take another "Heading Set\n".
  constexpr int kPipeFull = 65536 - 16 * 12;  // 16 pages, each but a text full
  int lines = 0;
  const auto flood = [&] {
    for (int i = 0; i < 50; ++i) peer_->Send("h1");
    sim_->Pump();  // skyhelm-sim reports every event on its standard output
    for (int i = 0; i < 1000 && peer_->Receive(milliseconds(0)); ++i) ++lines;
    std::this_thread::sleep_for(milliseconds(1));
  };
  if (GetParam() == StderrMode::kNeverRead) {
    const auto filled_by = std::chrono::steady_clock::now() + kPatience;
    while (bridge_->UnreadStderrBytes() < kPipeFull && std::chrono::steady_clock::now() < filled_by)
      flood();
    ASSERT_GE(bridge_->UnreadStderrBytes(), kPipeFull);
  }
  // A second more of the flood: the lines keep coming (thousands a second when nothing holds
  // the loop; a blocked loop sends none).
  lines = 0;
  const auto flood_end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (std::chrono::steady_clock::now() < flood_end) flood();
  EXPECT_GT(lines, 100);
  EXPECT_TRUE(sim_->WaitForStdout("event HEADING_BUG_SET 1\n", kPatience)) << sim_->Stdout();
  bridge_->Signal(SIGTERM);
  EXPECT_EQ(bridge_->Wait(milliseconds(1000)), 0);
}

const std::string kPipeNames[] = {"NeverRead", "ReaderGone", "AllClosed"};
INSTANTIATE_TEST_SUITE_P(Pipes, StandardStreams,
                         ::testing::Values(StderrMode::kNeverRead, StderrMode::kReaderGone,
                                           StderrMode::kAllClosed),
                         [](const auto& p) { return kPipeNames[p.index]; });

}  // namespace
}  // namespace skyhelm::test_support
