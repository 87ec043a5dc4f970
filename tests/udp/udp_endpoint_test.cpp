// The UDP endpoint on real loopback sockets: binding, the peer, what is received and what is sent.
#include "udp/udp_endpoint.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>

#include "tests/udp/loopback_peer.h"

namespace skyhelm {
namespace {

constexpr auto kPatience = std::chrono::seconds(5);
constexpr int kNothingReadable = -100;
using Peer = testing::LoopbackPeer;

std::uint16_t LocalPort(int socket) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// One endpoint with the pieces the bridge record gives it, run pass by pass as the loop runs it.
class UdpEndpointTest : public ::testing::Test {
 protected:
  ~UdpEndpointTest() override { CloseEndpoint(socket_); }

  // Binds on an ephemeral port and makes the bind address 0.0.0.0 with that port, as the bridge's.
  std::uint16_t BindAnyPort() {
    BindIfUnbound(socket_, address_, bind_result_);
    address_.sin_port = htons(LocalPort(socket_));
    return LocalPort(socket_);
  }

  // One pass without the simulator: bind, report, wait, receive, send `line` (or `idle_line` if
  // given and nothing came). Returns the receive's result, or kNothingReadable.
  int Pass(const std::string& line, const char* idle_line = nullptr) {
    address_length_ = kAddressBytes;
    timeval timeout{0, 100};
    BindIfUnbound(socket_, address_, bind_result_);
    ReportInvalidSocket(socket_);
    int received = kNothingReadable;
    if (WaitForDatagram(socket_, read_set_, timeout) > 0) {
      received = ReceiveDatagram(socket_, receive_buffer_, address_, address_length_, peer_known_);
      command_bytes_ = CommandBytes(receive_buffer_, received);
    }
    SendLine(socket_, send_buffer_, received == kNothingReadable && idle_line ? idle_line : line,
             address_, address_length_, peer_known_);
    return received;
  }
  // Passes until one receives something; that pass sends `line`, the ones before it "wait".
  int PassUntilReceived(const std::string& line) {
    const auto deadline = std::chrono::steady_clock::now() + kPatience;
    int received = kNothingReadable;
    while (received == kNothingReadable && std::chrono::steady_clock::now() < deadline)
      received = Pass(line, "wait");
    return received;
  }
  std::string Received(int n) const { return {receive_buffer_, static_cast<std::size_t>(n)}; }

  net::Socket socket_ = net::OpenUdpSocket();
  sockaddr_in address_ = {AF_INET, 0, {INADDR_ANY}, {}};
  std::int32_t address_length_ = kAddressBytes;
  fd_set read_set_{};
  std::int32_t bind_result_ = net::kSocketError;
  bool peer_known_ = false;
  DatagramBuffer send_buffer_{};
  DatagramBuffer receive_buffer_{};
  std::size_t command_bytes_ = 0;
};

TEST_F(UdpEndpointTest, LinesFollowTheLastSender) {
  const std::uint16_t port = BindAnyPort();
  Peer a(port, "wait\r\n");
  Peer b(port, "wait\r\n");
  a.Send("1");
  ASSERT_EQ(PassUntilReceived("to a"), 1);
  EXPECT_EQ(a.Next(), "to a\r\n");
  b.Send("1");
  ASSERT_EQ(PassUntilReceived("to b"), 1);
  Pass("to b");
  EXPECT_EQ(b.Next(), "to b\r\n");
  EXPECT_EQ(b.Next(), "to b\r\n");
  a.Send("1");
  ASSERT_EQ(PassUntilReceived("to a again"), 1);
  // Nothing meant for b reached a in between.
  EXPECT_EQ(a.Next(), "to a again\r\n");
}

// A datagram, what the endpoint makes of it, and the reply its sender gets to the line sent next.
struct DatagramCase {
  std::string datagram;
  int received;               // what the receive reports
  std::size_t command_bytes;  // what is handed to the command protocol
  std::string line;
  std::string reply;  // the line up to a zero byte, then "\r\n"
};

class Datagrams : public UdpEndpointTest, public ::testing::WithParamInterface<DatagramCase> {};

// Each datagram is followed at once by "g1": one is taken per pass and neither is lost or mixed.
TEST_P(Datagrams, AreReceivedWholeOnePerPassAndTheirSenderIsThePeer) {
  const DatagramCase& c = GetParam();
  const std::uint16_t port = BindAnyPort();
  // No peer yet, so nothing is sent; the bind address is 0.0.0.0 with our own port, so a send
  // now would come back to this socket as the first datagram.
  Pass("v1.2,self,\n");
  Peer peer(port, "wait\r\n");
  peer.Send(c.datagram);
  peer.Send("g1");
  ASSERT_EQ(PassUntilReceived(c.line), c.received);
  EXPECT_EQ(command_bytes_, c.command_bytes);
  if (c.received >= 0) {
    EXPECT_EQ(Received(c.received), c.datagram);
    if (c.received < 1024) {
      EXPECT_EQ(receive_buffer_[c.received], '\0');  // the rest of the buffer holds zeros
    }
    EXPECT_EQ(peer.Next(), c.reply);
  }
  ASSERT_EQ(PassUntilReceived("next"), 2);
  EXPECT_EQ(Received(2), "g1");
  EXPECT_EQ(receive_buffer_[2], '\0');
  EXPECT_EQ(peer.Next(), "next\r\n");
}

const std::string kLine =
    "v1.2,120,350,2.500000,-10.250000,3.000000,-5.000000,270,1,140,0,1,1,1,700,1,900,0,"
    "47.250000,-122.500000,268,1.000000,\n";
const std::string kLongestLine(1021, 'x');  // the longest that fits with "\r\n"

INSTANTIATE_TEST_SUITE_P(
    Sizes, Datagrams,
    ::testing::Values(DatagramCase{"h270", 4, 4, kLine, kLine + "\r\n"},
                      DatagramCase{"", 0, 0, "", "\r\n"},  // the line before the first record
                      DatagramCase{"1h270", 5, 0, std::string("ab\0cd", 5), "ab\r\n"},
                      DatagramCase{std::string(1024, 'h'), 1024, 1024, kLongestLine,
                                   kLongestLine + "\r\n"},
                      DatagramCase{std::string(1025, 'h'), -1, 0, "", ""}));

TEST_F(UdpEndpointTest, PortInUseIsBoundOnceFreed) {
  std::optional<Peer> holder(std::in_place, 0);  // holds the port first
  const std::uint16_t port = holder->local_port();
  address_.sin_port = htons(port);
  Pass("");
  Pass("");
  EXPECT_EQ(bind_result_, net::kSocketError);
  Peer peer(port, "wait\r\n");
  peer.Send("h1");  // reaches the holder, not us
  EXPECT_EQ(Pass(""), kNothingReadable);
  holder.reset();
  Pass("");
  EXPECT_EQ(bind_result_, 0);
  EXPECT_EQ(LocalPort(socket_), port);
  peer.Send("h2");
  ASSERT_EQ(PassUntilReceived("bound"), 2);
  EXPECT_EQ(Received(2), "h2");
}

TEST(UdpEndpointInvalidSocket, EveryPassReportsItThenTheFailedWait) {
  std::int32_t bind_result = net::kSocketError;
  fd_set read_set{};
  timeval timeout{0, 100};
  const sockaddr_in address = {AF_INET, 0, {INADDR_ANY}, {}};
  ::testing::internal::CaptureStdout();
  for (int pass = 0; pass < 2; ++pass) {
    BindIfUnbound(net::kInvalidSocket, address, bind_result);
    ReportInvalidSocket(net::kInvalidSocket);
    EXPECT_EQ(WaitForDatagram(net::kInvalidSocket, read_set, timeout), net::kSocketError);
  }
  std::fflush(stdout);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "Socket Initialiation ErrorError..\nSocket Initialiation ErrorError..\n");
  EXPECT_EQ(bind_result, net::kSocketError);
}

}  // namespace
}  // namespace skyhelm
