// Faults around the running bridge, end to end on loopback: the simulator killed, stopped, or
// sending garbage; the UDP port taken at start; a peer whose port has closed.
#include <signal.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/simconnect/wire_protocol.h"
#include "sim/telemetry_schema.h"
#include "tests/support/bridge_rig.h"
#include "tests/platform/scripted_sim_server.h"
#include "tests/support/loopback_peer.h"

namespace skyhelm::test_support {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Requests the bridge sends while it sets up: open, 22 entries, the data request, 11 mappings.
constexpr std::size_t kSetUpRequests = 1 + 22 + 1 + 11;
constexpr std::size_t kHeadingBugField = 6;
constexpr std::size_t kGroundSpeedField = 0;

class BridgeFaultTest : public ::testing::Test {
 protected:
  void StartWithSimulator() {
    sim_ = StartSimulator({"--freeze"}, sim_port_);
    udp_port_ = FreeLoopbackPort(true);
    ASSERT_NE(sim_, nullptr);
    ASSERT_NE(bridge_ = StartBridge(udp_port_, sim_port_), nullptr);
    JoinBridge();
  }

  void JoinBridge() {
    peer_ = std::make_unique<LoopbackPeer>(udp_port_);
    ASSERT_TRUE(peer_->Join());
  }

  // Sends a heading-bug command and waits for a line that shows it: then the line is live.
  static std::string LiveLineWithHeadingBug(LoopbackPeer& peer, int heading_deg) {
    const std::string value = std::to_string(heading_deg);
    peer.Send("h" + value);
    return peer.Next([&](const std::string& d) { return LineField(d, kHeadingBugField) == value; })
        .value_or("");
  }

  // After the simulator side has failed: the last line keeps coming (20 in a row, twice), commands
  // (transmitted into the void) change nothing, and SIGTERM still ends the bridge with status 0.
  void ExpectLastLineServedThenCleanStop(const std::string& last) {
    ASSERT_FALSE(last.empty());
    for (int round = 0; round < 2; ++round) {
      while (peer_->Receive(milliseconds(0))) {
      }
      for (int i = 0; i < 20; ++i) ASSERT_EQ(peer_->Receive(kPatience), last) << round << i;
      for (const char* command : {"h200", "E", "g1", "hHkKTFEvVlg", "l-1"}) peer_->Send(command);
    }
    ASSERT_TRUE(bridge_->Running());
    bridge_->Signal(SIGTERM);
    EXPECT_EQ(bridge_->Wait(kPatience), 0) << bridge_->Stderr();
  }

  // Stops the bridge (status 0 expected) and the simulator; the simulator's event lines.
  std::vector<std::string> StopBothAndListEvents() {
    bridge_->Signal(SIGTERM);
    EXPECT_EQ(bridge_->Wait(kPatience), 0);
    sim_->Signal(SIGTERM);
    sim_->Wait(kPatience);
    return EventLines(sim_->Stdout());
  }

  std::unique_ptr<ChildProcess> sim_;
  std::unique_ptr<ChildProcess> bridge_;
  std::unique_ptr<LoopbackPeer> peer_;
  int sim_port_ = 0;
  int udp_port_ = 0;
};

class SimulatorGoesAway : public BridgeFaultTest, public ::testing::WithParamInterface<int> {};

TEST_P(SimulatorGoesAway, BridgeKeepsServingTheLastLine) {
  ASSERT_NO_FATAL_FAILURE(StartWithSimulator());
  const std::string last = LiveLineWithHeadingBug(*peer_, 123);
  sim_->Signal(GetParam());
  ASSERT_TRUE(sim_->Wait(kPatience).has_value());
  ExpectLastLineServedThenCleanStop(last);
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
class SimulatorSendsGarbage : public BridgeFaultTest, public ::testing::WithParamInterface<bool> {};

TEST_P(SimulatorSendsGarbage, ConnectionCountsAsBrokenAndBridgeGoesOn) {
  ScriptedSimServer fake;
  udp_port_ = FreeLoopbackPort(true);
  bridge_ = ChildProcess::Start(BinPath("skyhelm"), {std::to_string(udp_port_)},
                                {"SKYHELM_SIM_ADDRESS=" + fake.Address()});
  ASSERT_TRUE(bridge_->WaitForStdout("Running...\n", kPatience));
  ASSERT_TRUE(fake.WaitForRequests(kSetUpRequests));
  ASSERT_TRUE(fake.Send(DataMessage(321)));
  ASSERT_NO_FATAL_FAILURE(JoinBridge());
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

TEST_F(BridgeFaultTest, PeerWithClosedPortIsReplacedAtOnce) {
  ASSERT_NO_FATAL_FAILURE(StartWithSimulator());
  ASSERT_FALSE(LiveLineWithHeadingBug(*peer_, 11).empty());
  peer_.reset();  // every send to the old peer now draws an ICMP port unreachable

  LoopbackPeer next(udp_port_);
  ASSERT_TRUE(next.Join());
  EXPECT_FALSE(LiveLineWithHeadingBug(next, 22).empty());
  ASSERT_TRUE(bridge_->Running());
  EXPECT_EQ(StopBothAndListEvents(),
            (std::vector<std::string>{"event HEADING_BUG_SET 11", "event HEADING_BUG_SET 22"}));
}

// Standard error on a pipe that nobody reads (a stalled supervisor, CI job or ssh), or whose
// reader has gone: the acknowledgements are dropped, and neither the lines nor a stop are held
// back; the bridge is not ended by SIGPIPE either.
class StderrNobodyReads : public BridgeFaultTest,
                          public ::testing::WithParamInterface<StderrMode> {};

TEST_P(StderrNobodyReads, HoldsNeitherTheLinesNorTheStop) {
  sim_ = StartSimulator({"--freeze"}, sim_port_);
  ASSERT_NE(sim_, nullptr);
  udp_port_ = FreeLoopbackPort(true);
  bridge_ = StartBridge(udp_port_, sim_port_, {}, GetParam());
  ASSERT_NE(bridge_, nullptr);
  ASSERT_NO_FATAL_FAILURE(JoinBridge());
  // Commands until the pipe (64 KiB on Linux) cannot take another "Heading Set\n".
  constexpr int kPipeFull = 65536 - 16 * 12;  // 16 pages, each but a text full
  int lines = 0;
  const auto flood = [&] {
    for (int i = 0; i < 50; ++i) peer_->Send("h1");
    sim_->Pump();  // skyhelm-sim reports every event on its standard output
    for (int i = 0; i < 1000 && peer_->Receive(milliseconds(0)); ++i) ++lines;
    std::this_thread::sleep_for(milliseconds(1));
  };
  const auto filled_by = std::chrono::steady_clock::now() + kPatience;
  while (GetParam() == StderrMode::kNeverRead && bridge_->UnreadStderrBytes() < kPipeFull &&
         std::chrono::steady_clock::now() < filled_by) {
    flood();
  }
  if (GetParam() == StderrMode::kNeverRead) {
    ASSERT_GE(bridge_->UnreadStderrBytes(), kPipeFull);
  }

  // A second more of the flood: the lines keep coming (thousands a second when nothing holds
  // the loop; a blocked loop sends none).
  lines = 0;
  const auto flood_end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (std::chrono::steady_clock::now() < flood_end) flood();
  EXPECT_GT(lines, 100);
  bridge_->Signal(SIGTERM);
  EXPECT_EQ(bridge_->Wait(milliseconds(1000)), 0);
}

INSTANTIATE_TEST_SUITE_P(Pipes, StderrNobodyReads,
                         ::testing::Values(StderrMode::kNeverRead, StderrMode::kReaderGone),
                         [](const auto& p) {
                           return p.param == StderrMode::kNeverRead ? "Full" : "ReaderGone";
                         });

}  // namespace
}  // namespace skyhelm::test_support
