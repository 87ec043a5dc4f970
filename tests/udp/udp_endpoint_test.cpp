// The UDP endpoint on real loopback sockets: binding, the peer, what is received and what is sent.
#include "udp/udp_endpoint.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <string>

namespace skyhelm {
namespace {

using std::chrono::steady_clock;
constexpr auto kPatience = std::chrono::seconds(5);
constexpr int kNothingReadable = -100;

sockaddr_in Ipv4(in_addr_t host_order_address, std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(host_order_address);
  return address;
}

std::uint16_t LocalPort(int socket) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// A peer on 127.0.0.1 with its own port.
class Peer {
 public:
  Peer() : socket_(::socket(AF_INET, SOCK_DGRAM, 0)) {
    const sockaddr_in local = Ipv4(INADDR_LOOPBACK, 0);
    ::bind(socket_, reinterpret_cast<const sockaddr*>(&local), sizeof local);
  }
  ~Peer() { ::close(socket_); }
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  void SendTo(std::uint16_t port, const std::string& bytes) const {
    const sockaddr_in to = Ipv4(INADDR_LOOPBACK, port);
    ::sendto(socket_, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
             sizeof to);
  }
  // The next datagram that is not `skip`, or nullopt when none comes within kPatience.
  std::optional<std::string> Receive(const std::string& skip = "wait\r\n") const {
    const auto deadline = steady_clock::now() + kPatience;
    while (steady_clock::now() < deadline) {
      pollfd entry{socket_, POLLIN, 0};
      if (::poll(&entry, 1, 100) <= 0) continue;
      char bytes[2048];
      const ssize_t n = ::recv(socket_, bytes, sizeof bytes, 0);
      if (n < 0) return std::nullopt;
      std::string datagram(bytes, static_cast<std::size_t>(n));
      if (datagram != skip) return datagram;
    }
    return std::nullopt;
  }
  int socket() const { return socket_; }

 private:
  int socket_;
};

// One endpoint with the pieces the bridge record gives it, run pass by pass as the loop runs it.
class UdpEndpointTest : public ::testing::Test {
 protected:
  UdpEndpointTest() : socket_(net::OpenUdpSocket()), address_(Ipv4(INADDR_ANY, 0)) {}
  ~UdpEndpointTest() override { CloseEndpoint(socket_); }

  // Binds on an ephemeral port and makes the bind address 0.0.0.0 with that port, as the bridge's.
  std::uint16_t BindAnyPort() {
    BindIfUnbound(socket_, address_, bind_result_);
    port_ = LocalPort(socket_);
    address_.sin_port = htons(port_);
    return port_;
  }

  // The first half of a pass without the simulator: bind, report, wait, receive. Returns the
  // receive's result, or kNothingReadable.
  int ReceiveStep() {
    address_length_ = kAddressBytes;
    timeout_ = {0, 100};
    BindIfUnbound(socket_, address_, bind_result_);
    ReportInvalidSocket(socket_);
    int received = kNothingReadable;
    if (WaitForDatagram(socket_, read_set_, timeout_) > 0) {
      received = ReceiveDatagram(socket_, receive_buffer_, address_, address_length_, peer_known_);
    }
    command_bytes_ = CommandBytes(receive_buffer_, received);
    return received;
  }
  void SendStep(const std::string& line) {
    SendLine(socket_, send_buffer_, line, address_, address_length_, peer_known_);
  }
  int Pass(const std::string& line) {
    const int received = ReceiveStep();
    SendStep(line);
    return received;
  }
  // Passes until one receives something: that pass sends `line`, the ones before it "wait".
  // Returns the receive's result (kNothingReadable when nothing came within kPatience).
  int PassUntilReceived(const std::string& line) {
    const auto deadline = steady_clock::now() + kPatience;
    while (steady_clock::now() < deadline) {
      const int received = ReceiveStep();
      SendStep(received == kNothingReadable ? "wait" : line);
      if (received != kNothingReadable) return received;
    }
    return kNothingReadable;
  }
  std::string Received(int received) const {
    return std::string(receive_buffer_, static_cast<std::size_t>(received));
  }

  net::Socket socket_;
  sockaddr_in address_;
  std::int32_t address_length_ = kAddressBytes;
  fd_set read_set_{};
  timeval timeout_{};
  std::int32_t bind_result_ = net::kSocketError;
  bool peer_known_ = false;
  DatagramBuffer send_buffer_{};
  DatagramBuffer receive_buffer_{};
  std::size_t command_bytes_ = 0;
  std::uint16_t port_ = 0;
};

TEST_F(UdpEndpointTest, NothingIsSentBeforeTheFirstDatagram) {
  const std::uint16_t port = BindAnyPort();
  // The bind address is 0.0.0.0 with our own port: a send now would come back to this socket.
  Pass("v1.2,self,\n");
  Peer peer;
  peer.SendTo(port, "mark");
  ASSERT_EQ(PassUntilReceived("v1.2,line,\n"), 4);
  EXPECT_EQ(Received(4), "mark");
  EXPECT_EQ(peer.Receive(), "v1.2,line,\n\r\n");
}

TEST_F(UdpEndpointTest, LinesFollowTheLastSender) {
  const std::uint16_t port = BindAnyPort();
  Peer a;
  Peer b;
  a.SendTo(port, "1");
  ASSERT_EQ(PassUntilReceived("to a"), 1);
  EXPECT_EQ(a.Receive(), "to a\r\n");
  b.SendTo(port, "1");
  ASSERT_EQ(PassUntilReceived("to b"), 1);
  Pass("to b");
  EXPECT_EQ(b.Receive(), "to b\r\n");
  EXPECT_EQ(b.Receive(), "to b\r\n");
  a.SendTo(port, "1");
  ASSERT_EQ(PassUntilReceived("to a again"), 1);
  // Nothing meant for b reached a in between.
  EXPECT_EQ(a.Receive(), "to a again\r\n");
}

TEST_F(UdpEndpointTest, ZeroLengthDatagramMakesItsSenderThePeer) {
  const std::uint16_t port = BindAnyPort();
  Peer peer;
  peer.SendTo(port, "");
  ASSERT_EQ(PassUntilReceived("line"), 0);
  EXPECT_EQ(command_bytes_, 0u);
  EXPECT_EQ(peer.Receive(), "line\r\n");
}

struct DatagramCase {
  const char* name;
  std::string datagram;
  int received;               // what the receive reports
  std::size_t command_bytes;  // what is handed to the command protocol
};

class Datagrams : public UdpEndpointTest, public ::testing::WithParamInterface<DatagramCase> {};

TEST_P(Datagrams, AreReceivedAndHandedOverWhole) {
  const DatagramCase& c = GetParam();
  const std::uint16_t port = BindAnyPort();
  Peer peer;
  peer.SendTo(port, c.datagram);
  ASSERT_EQ(PassUntilReceived("reply"), c.received);
  EXPECT_EQ(command_bytes_, c.command_bytes);
  if (c.received >= 0) {
    EXPECT_EQ(Received(c.received), c.datagram);
  }
  // The buffer past the datagram holds zeros.
  if (c.received >= 0 && c.received < 1024) {
    EXPECT_EQ(receive_buffer_[c.received], '\0');
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, Datagrams,
    ::testing::Values(DatagramCase{"Command", "h270", 4, 4},
                      DatagramCase{"OneCarriesNoCommand", "1h270", 5, 0},
                      DatagramCase{"FullBuffer", std::string(1024, 'h'), 1024, 1024},
                      DatagramCase{"OneByteTooLongIsRefused", std::string(1025, 'h'), -1, 0}),
    [](const auto& test) { return std::string(test.param.name); });

TEST_F(UdpEndpointTest, ReceiveAfterARefusedDatagramIsWhole) {
  const std::uint16_t port = BindAnyPort();
  Peer peer;
  peer.SendTo(port, std::string(2000, 'v'));
  peer.SendTo(port, "g1");
  ASSERT_EQ(PassUntilReceived("x"), -1);
  ASSERT_EQ(PassUntilReceived("x"), 2);
  EXPECT_EQ(Received(2), "g1");
  EXPECT_EQ(receive_buffer_[2], '\0');
}

TEST_F(UdpEndpointTest, QueuedDatagramsAreTakenOnePerPass) {
  const std::uint16_t port = BindAnyPort();
  Peer peer;
  peer.SendTo(port, "first");
  peer.SendTo(port, "second");
  ASSERT_EQ(PassUntilReceived("one"), 5);
  EXPECT_EQ(peer.Receive(), "one\r\n");
  ASSERT_EQ(PassUntilReceived("two"), 6);
  EXPECT_EQ(Received(6), "second");
  EXPECT_EQ(peer.Receive(), "two\r\n");
}

struct ReplyCase {
  const char* name;
  std::string line;
  std::string reply;
};

class Replies : public UdpEndpointTest, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(Replies, AreTheLineThenCarriageReturnLineFeed) {
  const std::uint16_t port = BindAnyPort();
  Peer peer;
  peer.SendTo(port, "1");
  ASSERT_EQ(PassUntilReceived(GetParam().line), 1);
  EXPECT_EQ(peer.Receive(), GetParam().reply);
}

const std::string kLine =
    "v1.2,120,350,2.500000,-10.250000,3.000000,-5.000000,270,1,140,0,1,1,1,700,1,900,0,"
    "47.250000,-122.500000,268,1.000000,\n";

INSTANTIATE_TEST_SUITE_P(Lines, Replies,
                         ::testing::Values(ReplyCase{"TelemetryLine", kLine, kLine + "\r\n"},
                                           ReplyCase{"BeforeTheFirstRecord", "", "\r\n"},
                                           ReplyCase{"TextEndsAtAZeroByte",
                                                     std::string("ab\0cd", 5), "ab\r\n"},
                                           ReplyCase{"LongestTextThatFits", std::string(1021, 'x'),
                                                     std::string(1021, 'x') + "\r\n"}),
                         [](const auto& test) { return std::string(test.param.name); });

TEST_F(UdpEndpointTest, PortInUseIsBoundOnceFreed) {
  std::optional<Peer> holder(std::in_place);  // holds the port first
  const std::uint16_t port = LocalPort(holder->socket());
  address_ = Ipv4(INADDR_ANY, port);
  Pass("");
  Pass("");
  EXPECT_EQ(bind_result_, net::kSocketError);
  Peer peer;
  peer.SendTo(port, "h1");  // reaches the holder, not us
  EXPECT_EQ(Pass(""), kNothingReadable);
  holder.reset();
  Pass("");
  EXPECT_EQ(bind_result_, 0);
  EXPECT_EQ(LocalPort(socket_), port);
  peer.SendTo(port, "h2");
  ASSERT_EQ(PassUntilReceived("bound"), 2);
  EXPECT_EQ(Received(2), "h2");
}

TEST(UdpEndpointInvalidSocket, EveryPassReportsItThenTheFailedWait) {
  std::int32_t bind_result = net::kSocketError;
  fd_set read_set{};
  timeval timeout{0, 100};
  sockaddr_in address = Ipv4(INADDR_ANY, 0);
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
