// Faults around the running bridge, end to end on loopback: the simulator killed, stopped, or
// sending garbage; the UDP port taken at start; a peer whose port has closed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/simconnect/wire_protocol.h"
#include "sim/telemetry_schema.h"
#include "tests/fault/bridge_rig.h"
#include "tests/fault/fake_simulator.h"

namespace skyhelm::testing {
namespace {

// Requests the bridge sends while it sets up: open, 22 entries, the data request, 11 mappings.
constexpr std::size_t kSetUpRequests = 1 + 22 + 1 + 11;
constexpr std::size_t kHeadingBugField = 6;
constexpr std::size_t kGroundSpeedField = 0;

class BridgeFaultTest : public ::testing::Test {
 protected:
  void StartWithSimulator() {
    sim_ = StartSimulator({"--freeze"}, sim_port_);
    ASSERT_NE(sim_, nullptr);
    udp_port_ = FreeLoopbackPort(true);
    bridge_ = StartBridge(udp_port_, sim_port_);
    ASSERT_NE(bridge_, nullptr);
    ASSERT_TRUE(peer_.Register(udp_port_).has_value());
  }

  // Sends heading-bug commands until the line shows the value: then the line is live.
  std::string LiveLineWithHeadingBug(int heading_deg) {
    peer_.Send(udp_port_, "h" + std::to_string(heading_deg));
    auto line = peer_.ReceiveLineWhere([&](const std::string& d) {
      return IsTelemetryDatagram(d) &&
             LineField(d, kHeadingBugField) == std::to_string(heading_deg);
    });
    return line.value_or("");
  }

  // The next `count` datagrams all equal `line`.
  void ExpectLinesUnchanged(const std::string& line, int count) {
    peer_.Drain();
    for (int i = 0; i < count; ++i) {
      const auto datagram = peer_.Receive(kPatience);
      ASSERT_TRUE(datagram.has_value()) << "no line after " << i;
      ASSERT_EQ(*datagram, line);
    }
  }

  void ExpectBridgeStopsCleanly() {
    ASSERT_TRUE(bridge_->Running());
    bridge_->Signal(SIGTERM);
    EXPECT_EQ(bridge_->Wait(kPatience), 0) << bridge_->Stderr();
  }

  std::unique_ptr<ChildProcess> sim_;
  std::unique_ptr<ChildProcess> bridge_;
  UdpPeer peer_;
  int sim_port_ = 0;
  int udp_port_ = 0;
};

// --- the simulator goes away ------------------------------------------------------------------

class SimulatorGoesAway : public BridgeFaultTest, public ::testing::WithParamInterface<int> {};

TEST_P(SimulatorGoesAway, BridgeKeepsServingTheLastLine) {
  StartWithSimulator();
  const std::string last = LiveLineWithHeadingBug(123);
  ASSERT_FALSE(last.empty());

  sim_->Signal(GetParam());
  ASSERT_TRUE(sim_->Wait(kPatience).has_value());
  ExpectLinesUnchanged(last, 20);

  // Commands after the simulator has gone are transmitted into the void; nothing changes.
  for (const char* command : {"h200", "E", "g1", "hHkKTFEvVlg", "l-1"})
    peer_.Send(udp_port_, command);
  ExpectLinesUnchanged(last, 20);
  ExpectBridgeStopsCleanly();
}

INSTANTIATE_TEST_SUITE_P(KilledOrStopped, SimulatorGoesAway, ::testing::Values(SIGKILL, SIGTERM),
                         [](const ::testing::TestParamInfo<int>& param_info) {
                           return std::string(param_info.param == SIGKILL ? "Killed" : "Stopped");
                         });

// --- the simulator sends garbage ----------------------------------------------------------------

std::vector<std::uint8_t> DataMessage(std::int32_t ground_speed_kt) {
  std::uint8_t record[kTelemetryRecordBytes] = {};
  std::memcpy(record + kTelemetryFields[kGroundSpeedField].record_offset, &ground_speed_kt, 4);
  std::vector<std::uint8_t> message;
  wire::EncodeSimObjectDataMessage(kTelemetryRequest, 0, kTelemetryDefinition, 22, record,
                                   sizeof record, message);
  return message;
}

struct GarbageCase {
  const char* name;
  std::vector<std::uint8_t> bytes;
  bool then_disconnect;
};

std::vector<std::uint8_t> Words(std::initializer_list<std::uint32_t> words) {
  std::vector<std::uint8_t> out;
  for (std::uint32_t w : words) wire::PutU32(out, w);
  return out;
}

std::vector<GarbageCase> GarbageCases() {
  std::vector<std::uint8_t> half = DataMessage(999);
  half.resize(half.size() / 2);
  std::vector<std::uint8_t> noise;
  for (std::uint32_t i = 0, x = 0xDEADBEEF; i < 512; ++i) {
    x = x * 1664525u + 1013904223u;
    noise.push_back(static_cast<std::uint8_t>(x >> 24));
  }
  noise[3] = 0xFF;  // the first size field is far beyond any message
  return {
      {"ImpossibleSize", Words({0xFFFFFFFFu, 1, 8, 0}), false},
      {"SizeBelowHeader", Words({4, 1, 8}), false},
      {"SizeJustBeyondBound", Words({64 * 1024 + 1, 1, 8}), false},
      {"Noise", noise, false},
      {"HalfAMessageThenClosed", half, true},
  };
}

class SimulatorSendsGarbage : public BridgeFaultTest,
                              public ::testing::WithParamInterface<GarbageCase> {};

TEST_P(SimulatorSendsGarbage, ConnectionCountsAsBrokenAndBridgeGoesOn) {
  FakeSimulator fake;
  udp_port_ = FreeLoopbackPort(true);
  bridge_ = StartBridge(udp_port_, fake.port());
  ASSERT_NE(bridge_, nullptr);
  ASSERT_TRUE(fake.WaitForRequests(kSetUpRequests, kPatience));
  ASSERT_TRUE(fake.Send(DataMessage(321)));
  ASSERT_TRUE(peer_.Register(udp_port_).has_value());
  const auto last = peer_.ReceiveLineWhere(
      [](const std::string& d) { return LineField(d, kGroundSpeedField) == "321"; });
  ASSERT_TRUE(last.has_value());

  ASSERT_TRUE(fake.Send(GetParam().bytes));
  if (GetParam().then_disconnect) {
    fake.Disconnect();
  } else {
    EXPECT_TRUE(fake.WaitForClientGone(kPatience)) << "the client kept a broken stream open";
  }
  // Whatever follows the garbage on the stream is never read.
  fake.Send(DataMessage(555));
  ExpectLinesUnchanged(*last, 20);

  const std::size_t requests_before = fake.Requests().size();
  peer_.Send(udp_port_, "h90");
  ExpectLinesUnchanged(*last, 10);
  EXPECT_EQ(fake.Requests().size(), requests_before);
  ExpectBridgeStopsCleanly();
}

INSTANTIATE_TEST_SUITE_P(Kinds, SimulatorSendsGarbage, ::testing::ValuesIn(GarbageCases()),
                         [](const ::testing::TestParamInfo<GarbageCase>& param_info) {
                           return std::string(param_info.param.name);
                         });

// --- the UDP side ------------------------------------------------------------------------------

TEST_F(BridgeFaultTest, PortTakenAtStartIsBoundOnceFreed) {
  sim_ = StartSimulator({"--freeze"}, sim_port_);
  ASSERT_NE(sim_, nullptr);
  udp_port_ = FreeLoopbackPort(true);
  // Holds the port exactly as the bridge wants it (any address), so the bridge's bind fails; not
  // inherited by the children, or the port would stay taken after the close below.
  const int blocker = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in any{};
  any.sin_family = AF_INET;
  any.sin_port = htons(static_cast<std::uint16_t>(udp_port_));
  ASSERT_EQ(bind(blocker, reinterpret_cast<sockaddr*>(&any), sizeof any), 0);
  bridge_ = StartBridge(udp_port_, sim_port_);
  ASSERT_NE(bridge_, nullptr);

  peer_.Send(udp_port_, "h10");  // reaches the blocker, not the bridge
  char buffer[16];
  timeval patience{10, 0};
  setsockopt(blocker, SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof patience);
  EXPECT_EQ(recv(blocker, buffer, sizeof buffer, 0), 3);
  close(blocker);

  ASSERT_TRUE(peer_.Register(udp_port_).has_value());
  EXPECT_FALSE(LiveLineWithHeadingBug(45).empty());
  ExpectBridgeStopsCleanly();
  sim_->Signal(SIGTERM);
  sim_->Wait(kPatience);
  EXPECT_EQ(EventLines(sim_->Stdout()), std::vector<std::string>{"event HEADING_BUG_SET 45"});
}

TEST_F(BridgeFaultTest, PeerWithClosedPortIsReplacedAtOnce) {
  StartWithSimulator();
  ASSERT_FALSE(LiveLineWithHeadingBug(11).empty());
  peer_.Close();  // every send to the old peer now draws an ICMP port unreachable

  UdpPeer next;
  ASSERT_TRUE(next.Register(udp_port_).has_value());
  next.Send(udp_port_, "h22");
  EXPECT_TRUE(next.ReceiveLineWhere([](const std::string& d) {
                    return IsTelemetryDatagram(d) && LineField(d, kHeadingBugField) == "22";
                  })
                  .has_value());
  ASSERT_TRUE(bridge_->Running());
  bridge_->Signal(SIGTERM);
  EXPECT_EQ(bridge_->Wait(kPatience), 0);
  sim_->Signal(SIGTERM);
  sim_->Wait(kPatience);
  EXPECT_EQ(EventLines(sim_->Stdout()),
            (std::vector<std::string>{"event HEADING_BUG_SET 11", "event HEADING_BUG_SET 22"}));
}

}  // namespace
}  // namespace skyhelm::testing
