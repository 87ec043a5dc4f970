// RunPass, the loop's one pass, on a real loopback socket and against the scripted simulator.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "app/bridge.h"
#include "app/stop_signal.h"
#include "platform/simconnect/wire_protocol.h"
#include "sim/sim_link.h"
#include "sim/telemetry.h"
#include "tests/platform/scripted_sim_server.h"
#include "tests/support/child_process.h"
#include "tests/support/loopback_peer.h"

namespace skyhelm {
namespace {

using test_support::LoopbackPeer;
using test_support::ScriptedSimServer;

constexpr auto kPatience = std::chrono::seconds(5);
constexpr std::size_t kGroundSpeedOffset = 256;  // after the 256-byte title

// A data message for request 0 whose record carries only a ground speed.
std::vector<std::uint8_t> DataMessage(std::int32_t ground_speed_kt) {
  std::uint8_t record[340] = {};
  std::memcpy(record + kGroundSpeedOffset, &ground_speed_kt, 4);
  std::vector<std::uint8_t> message;
  wire::EncodeSimObjectDataMessage(wire::kDefaultProtocol, 0, 0, 0, 22, record, sizeof record,
                                   message);
  return message;
}

std::string LineWithGroundSpeed(int ground_speed_kt) {
  return "v1.2," + std::to_string(ground_speed_kt) +
         ",0,0.000000,0.000000,0.000000,0.000000,0,0,0,0,0,0,0,0,0,0,0,0.000000,0.000000,0,"
         "0.000000,\n";
}

// A bridge record with its socket on a free loopback port and a simulator connection to the
// scripted server, run pass by pass as RunLoop runs it.
class RunPassTest : public ::testing::Test {
 protected:
  RunPassTest() {
    BindResult = net::kSocketError;
    LatestLine.clear();
    port_ = test_support::FreeLoopbackPort(true);
    bridge_.udpSocket = net::OpenUdpSocket();
    bridge_.address.sin_family = AF_INET;
    bridge_.address.sin_port = htons(static_cast<std::uint16_t>(port_));
    setenv("SKYHELM_SIM_ADDRESS", sim_.Address().c_str(), 1);
    SimConnect_Open(&bridge_.simHandle, "Request Data", nullptr, 0, nullptr, 0);
    unsetenv("SKYHELM_SIM_ADDRESS");
    // Every test here writes debugger texts; keep them out of the test's own output.
    ::testing::internal::CaptureStderr();
  }
  ~RunPassTest() override {
    ::testing::internal::GetCapturedStderr();
    CloseEndpoint(bridge_.udpSocket);
    SimConnect_Close(bridge_.simHandle);
  }

  void Pass() { RunPass(bridge_, address_length_); }
  // Passes until one receives a datagram (waitResult > 0); false after kPatience.
  bool PassUntilReceived() {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    do {
      Pass();
    } while (bridge_.waitResult <= 0 && std::chrono::steady_clock::now() < deadline);
    return bridge_.waitResult > 0;
  }
  std::string Received() const { return bridge_.receiveBuffer; }  // up to the first zero byte

  // The events transmitted ("id:data ..."), once `count` have reached the simulator.
  std::string Events(std::size_t count) {
    EXPECT_TRUE(sim_.WaitForRequests(1 + count));  // after the open
    std::string events;
    for (const wire::Request& r : sim_.Requests()) {
      if (r.type == wire::RequestType::kTransmitClientEvent)
        events += std::to_string(r.transmit.event_id) + ":" +
                  std::to_string(static_cast<std::int32_t>(r.transmit.data)) + " ";
    }
    return events;
  }

  ScriptedSimServer sim_;
  SimBridge bridge_;
  std::int32_t address_length_ = kAddressBytes;
  int port_ = 0;
};

TEST_F(RunPassTest, ReplyIsTheLineOfThisPassesDispatchBeforeItsCommands) {
  ASSERT_TRUE(sim_.Send(DataMessage(100)));
  const auto deadline = std::chrono::steady_clock::now() + kPatience;
  while (LatestLine != LineWithGroundSpeed(100) && std::chrono::steady_clock::now() < deadline)
    Pass();  // no peer yet: nothing is sent
  ASSERT_EQ(LatestLine, LineWithGroundSpeed(100));

  LoopbackPeer peer(port_);
  ASSERT_TRUE(sim_.Send(DataMessage(200)));  // both wait for the same pass
  peer.Send("l4500");
  ASSERT_TRUE(PassUntilReceived());
  EXPECT_EQ(peer.Receive(kPatience), LineWithGroundSpeed(200) + "\r\n");
  EXPECT_EQ(Events(1), "10:4500 ");
}

TEST_F(RunPassTest, OneDatagramPerPassCommandsInTableOrderLinesToTheLastSender) {
  LatestLine = "v1.2,x,\n";
  Pass();  // binds
  LoopbackPeer peer(port_);
  peer.Send("hHkKTFEvVlg");
  peer.Send("l4500");
  peer.Send("g1");
  peer.Send("k 250");
  for (const char* datagram : {"hHkKTFEvVlg", "l4500", "g1", "k 250"}) {
    ASSERT_TRUE(PassUntilReceived());
    EXPECT_EQ(Received(), datagram);  // the socket is not drained: the next one waits
    EXPECT_EQ(peer.Receive(kPatience), "v1.2,x,\n\r\n");
  }
  EXPECT_EQ(Events(14), "1:0 3:0 2:0 4:0 5:0 6:0 7:0 8:0 9:0 10:0 11:0 10:4500 11:1 2:250 ");
  // On POSIX the value texts of "l" and "g" stand on lines of their own.
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "Heading Set\nHeading Lock\nSpeed Set\nSpeed Lock\nThrottle Arm\nFlight Director\n"
            "AP Engage Pressed\nVertical Speed Set\nAP Altitude Lock or Vert Speed Lock Pressed\n"
            "Altitude Set\ng\nGear Set\nAltitude Set\n4500\nGear Set\n1\nSpeed Set\n");
  ::testing::internal::CaptureStderr();
  // The lines follow the last sender, every pass.
  LoopbackPeer next(port_);
  next.Send("1");
  ASSERT_TRUE(PassUntilReceived());
  Pass();
  EXPECT_EQ(next.Receive(kPatience), "v1.2,x,\n\r\n");
  EXPECT_EQ(next.Receive(kPatience), "v1.2,x,\n\r\n");
  EXPECT_EQ(peer.Receive(std::chrono::milliseconds(50)), std::nullopt);
}

// A datagram, what the pass makes of it, and the reply its sender gets.
struct DatagramCase {
  std::string datagram;
  std::string events;  // before the "g1" that follows it
  std::string line;
  std::optional<std::string> reply;  // the line up to a zero byte, then "\r\n"; none: no peer
};

void PrintTo(const DatagramCase& c, std::ostream* os) {
  *os << ::testing::PrintToString(c.datagram.substr(0, 40)) << " (" << c.datagram.size()
      << " bytes)";
}

class Datagrams : public RunPassTest, public ::testing::WithParamInterface<DatagramCase> {};

// Each datagram is followed at once by "g1": one is taken per pass and neither is lost or mixed.
TEST_P(Datagrams, AreReceivedWholeOnePerPassAndTheirSenderIsThePeer) {
  const DatagramCase& c = GetParam();
  // No peer yet, so nothing is sent: the bind address is 0.0.0.0 with our own port, so a send
  // now would come back to this socket as the first datagram.
  LatestLine = "v1.2,self,\n";
  Pass();
  LatestLine = c.line;
  LoopbackPeer peer(port_);
  peer.Send(c.datagram);
  peer.Send("g1");
  ASSERT_TRUE(PassUntilReceived());
  if (c.reply) {
    EXPECT_EQ(std::string(bridge_.receiveBuffer, c.datagram.size()), c.datagram);
    if (c.datagram.size() < kDatagramBufferBytes) {
      EXPECT_EQ(bridge_.receiveBuffer[c.datagram.size()], '\0');  // the rest holds zeros
    }
    EXPECT_EQ(peer.Receive(kPatience), c.reply);
  }
  LatestLine = "next";
  ASSERT_TRUE(PassUntilReceived());
  EXPECT_EQ(Received(), "g1");
  EXPECT_EQ(peer.Receive(kPatience), "next\r\n");
  EXPECT_EQ(Events(std::count(c.events.begin(), c.events.end(), ' ') + 1), c.events + "11:1 ");
}

const std::string kLongestLine(1021, 'x');  // the longest that fits with "\r\n"

INSTANTIATE_TEST_SUITE_P(
    Sizes, Datagrams,
    ::testing::Values(DatagramCase{"h270", "1:270 ", "v1.2,1,\n", "v1.2,1,\n\r\n"},
                      DatagramCase{"", "", "", "\r\n"},  // the line before the first record
                      DatagramCase{"1h270", "", std::string("ab\0cd", 5), "ab\r\n"},
                      DatagramCase{std::string(1024, 'h'), "1:0 ", kLongestLine,
                                   kLongestLine + "\r\n"},
                      // One byte longer: cut, so that "\r\n" and the final zero still fit.
                      DatagramCase{"h270", "1:270 ", kLongestLine + "y", kLongestLine + "\r\n"},
                      // Longer than the buffer: a failed receive, and its sender is no peer
                      // (on Linux), so nothing is sent.
                      DatagramCase{std::string(1025, 'h'), "", "v1.2,1,\n", std::nullopt}),
    [](const auto& p) {
      return "Bytes" + std::to_string(p.param.datagram.size()) + "_" + std::to_string(p.index);
    });

TEST_F(RunPassTest, PortInUseIsBoundOnceFreed) {
  std::optional<LoopbackPeer> holder(std::in_place, 0);  // holds the port first
  port_ = holder->local_port();
  bridge_.address.sin_port = htons(static_cast<std::uint16_t>(port_));
  Pass();
  Pass();
  EXPECT_EQ(BindResult, net::kSocketError);
  holder.reset();
  Pass();
  EXPECT_EQ(BindResult, 0);
  LoopbackPeer peer(port_);
  peer.Send("h2");
  ASSERT_TRUE(PassUntilReceived());
  EXPECT_EQ(Received(), "h2");
}

// Linux may report a datagram readable and then drop it (bad checksum): the receive that follows
// must fail at once rather than wait for the next datagram (here it would wait for ever).
TEST_F(RunPassTest, AReceiveWithNothingThereFailsAtOnce) {
  Pass();  // binds
  EXPECT_EQ(ReceiveDatagram(bridge_.udpSocket, bridge_.receiveBuffer, bridge_.address,
                            address_length_, bridge_.peerKnown),
            net::kSocketError);
  EXPECT_FALSE(bridge_.peerKnown);
}

TEST_F(RunPassTest, InvalidSocketIsReportedOnEveryPassThenTheFailedWait) {
  CloseEndpoint(bridge_.udpSocket);
  bridge_.udpSocket = net::kInvalidSocket;
  ::testing::internal::CaptureStdout();
  Pass();
  Pass();
  std::fflush(stdout);
  const std::string expected =
      "Socket Initialiation ErrorError..\nSocket Initialiation ErrorError..\n";
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), expected);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), expected);  // the debugger copies
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(BindResult, net::kSocketError);
}

// The simulator link clears the stop flag before it opens the connection; a SIGTERM that came
// before must still end the loop, before its first pass. (A lost one would loop for ever: the
// alarm then ends the test.)
TEST(RunLoopStop, SignalBeforeTheLinkClearsTheFlagEndsTheLoopBeforeItsFirstPass) {
  ScriptedSimServer sim;
  static SimBridge bridge;
  bridge.udpSocket = net::OpenUdpSocket();
  BindResult = net::kSocketError;
  InstallStopSignal(bridge.stopFlag);
  alarm(20);
  raise(SIGTERM);
  ASSERT_EQ(bridge.stopFlag.load(), 1);
  setenv("SKYHELM_SIM_ADDRESS", sim.Address().c_str(), 1);
  ::testing::internal::CaptureStdout();
  RunSimLink(
      bridge.simHandle, bridge.stopFlag, [](void* b) { RunLoop(*static_cast<SimBridge*>(b)); },
      &bridge);
  alarm(0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Running...\n");
  EXPECT_EQ(BindResult, net::kSocketError);  // no pass ran
  EXPECT_TRUE(sim.WaitForClientGone());      // and the connection was closed after the loop
}

}  // namespace
}  // namespace skyhelm
