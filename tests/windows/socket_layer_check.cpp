// Checks of the socket layer's promises, built for Windows and run under Wine (no GoogleTest for
// the cross toolchain): loopback UDP and TCP only. Prints one line per case and "N passed, N
// failed".
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/net/socket.h"

namespace skyhelm::net {
namespace {

constexpr int kWaitMs = 5000;  // generous: only ever waited out when something is broken
constexpr int kBufferBytes = 1024;

sockaddr_in Loopback(std::uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return address;
}

// A UDP socket bound to 127.0.0.1 on a port the system picks; `address` is where it listens.
struct BoundUdp {
  Socket socket = kInvalidSocket;
  sockaddr_in address{};

  BoundUdp() {
    socket = OpenUdpSocket();
    address = Loopback(0);
    Bind(socket, address, sizeof address);
#if defined(_WIN32)
    int length = sizeof address;
#else
    socklen_t length = sizeof address;
#endif
    getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
  }
  ~BoundUdp() { Close(socket); }
  BoundUdp(const BoundUdp&) = delete;
  BoundUdp& operator=(const BoundUdp&) = delete;

  void SendTo(const BoundUdp& to, const std::string& bytes) const {
    net::SendTo(socket, bytes.data(), static_cast<int>(bytes.size()), to.address,
                sizeof to.address);
  }
};

bool WaitUntilReadable(Socket socket) { return WaitForReadable(socket, kWaitMs); }

struct Received {
  int result = kSocketError;
  sockaddr_in from{};
  std::string bytes;
};

Received ReceiveOne(Socket socket) {
  Received received;
  char buffer[kBufferBytes];
  int from_length = sizeof received.from;
  if (!WaitUntilReadable(socket)) return received;
  received.result = ReceiveFrom(socket, buffer, kBufferBytes, received.from, from_length);
  if (received.result > 0) received.bytes.assign(buffer, static_cast<std::size_t>(received.result));
  return received;
}

bool SameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
  return a.sin_port == b.sin_port && a.sin_addr.s_addr == b.sin_addr.s_addr;
}

// --- UDP -----------------------------------------------------------------------------------------

bool DatagramFillingTheBufferArrivesWhole() {
  BoundUdp bridge, peer;
  peer.SendTo(bridge, std::string(kBufferBytes, 'x'));
  const Received got = ReceiveOne(bridge.socket);
  return got.result == kBufferBytes && SameEndpoint(got.from, peer.address);
}

bool LongerDatagramFailsAndTheNextOneArrives() {
  BoundUdp bridge, peer;
  peer.SendTo(bridge, std::string(kBufferBytes + 1, 'h'));
  peer.SendTo(bridge, "h270");
  const Received oversize = ReceiveOne(bridge.socket);
  const Received next = ReceiveOne(bridge.socket);
  return oversize.result == kSocketError && next.result == 4 && next.bytes == "h270";
}

bool EmptyDatagramNamesItsSender() {
  BoundUdp bridge, peer;
  peer.SendTo(bridge, "");
  const Received got = ReceiveOne(bridge.socket);
  return got.result == 0 && SameEndpoint(got.from, peer.address);
}

// Sends to a peer that has gone must not make the socket report failures in place of the next
// peer's datagram.
bool DepartedPeerDoesNotHideTheNextOne() {
  BoundUdp bridge, newcomer;
  sockaddr_in departed{};
  {
    BoundUdp leaving;
    departed = leaving.address;
  }
  for (int i = 0; i < 8; ++i) SendTo(bridge.socket, "line\r\n", 6, departed, sizeof departed);
  newcomer.SendTo(bridge, "1");
  const Received got = ReceiveOne(bridge.socket);
  return got.result == 1 && SameEndpoint(got.from, newcomer.address);
}

bool WaitOnInvalidSocketFails() {
  fd_set set;
  timeval timeout{0, 100};
  return WaitReadable(kInvalidSocket, set, timeout) == kSocketError;
}

bool WaitTimesOutWithNothingPending() {
  BoundUdp bridge;
  fd_set set;
  timeval timeout{0, 100};
  return WaitReadable(bridge.socket, set, timeout) == 0;
}

bool CallsOnInvalidSocketFail() {
  char buffer[4];
  sockaddr_in from{};
  int from_length = sizeof from;
  const sockaddr_in to = Loopback(9);
  Close(kInvalidSocket);
  return ReceiveFrom(kInvalidSocket, buffer, 4, from, from_length) == kSocketError &&
         net::SendTo(kInvalidSocket, "x", 1, to, sizeof to) == kSocketError &&
         Bind(kInvalidSocket, to, sizeof to) == kSocketError &&
         SendSome(kInvalidSocket, "x", 1) == kSocketError &&
         ReceiveSome(kInvalidSocket, buffer, 4) == kSocketError;
}

// --- TCP -----------------------------------------------------------------------------------------

// A listening TCP socket on 127.0.0.1 (the layer has no server calls; these are the plain ones).
struct Listener {
  Socket socket = kInvalidSocket;
  std::uint16_t port = 0;

  Listener() {
    socket = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = Loopback(0);
    ::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address);
    ::listen(socket, 4);
#if defined(_WIN32)
    int length = sizeof address;
#else
    socklen_t length = sizeof address;
#endif
    getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
    port = ntohs(address.sin_port);
  }
  ~Listener() { Close(socket); }
  Listener(const Listener&) = delete;
  Listener& operator=(const Listener&) = delete;

  Socket Accept() const {
    return WaitUntilReadable(socket) ? ::accept(socket, nullptr, nullptr) : kInvalidSocket;
  }
};

bool ConnectToClosedPortFails() {
  std::uint16_t closed_port = 0;
  {
    Listener gone;
    closed_port = gone.port;
  }
  const Socket socket = ConnectTcp("127.0.0.1", closed_port, kWaitMs);
  Close(socket);
  return socket == kInvalidSocket && ConnectTcp(nullptr, closed_port, kWaitMs) == kInvalidSocket;
}

bool TcpRoundTripAndOrderlyClose() {
  Listener listener;
  const Socket client = ConnectTcp("127.0.0.1", listener.port, kWaitMs);
  const Socket server = listener.Accept();
  char buffer[16] = {};
  const bool nothing_pending = ReceiveSome(client, buffer, sizeof buffer) == 0;
  const bool sent = SendSome(client, "ping", 4) == 4;
  const bool arrived = WaitUntilReadable(server) && ::recv(server, buffer, 4, 0) == 4 &&
                       std::memcmp(buffer, "ping", 4) == 0;
  ::send(server, "pong", 4, 0);
  const bool answered =
      WaitUntilReadable(client) && ReceiveSome(client, buffer, sizeof buffer) == 4;
  Close(server);
  const bool close_seen =
      WaitUntilReadable(client) && ReceiveSome(client, buffer, sizeof buffer) == kSocketError;
  Close(client);
  return client != kInvalidSocket && nothing_pending && sent && arrived && answered && close_seen;
}

bool ConnectedSocketIsWritable() {
  Listener listener;
  const Socket client = ConnectTcp("localhost", listener.port, kWaitMs);
  const bool writable = WaitForWritable(client, kWaitMs);
  Close(client);
  return client != kInvalidSocket && writable;
}

struct Case {
  const char* name;
  bool (*run)();
};

constexpr Case kCases[] = {
    {"DatagramFillingTheBufferArrivesWhole", DatagramFillingTheBufferArrivesWhole},
    {"LongerDatagramFailsAndTheNextOneArrives", LongerDatagramFailsAndTheNextOneArrives},
    {"EmptyDatagramNamesItsSender", EmptyDatagramNamesItsSender},
    {"DepartedPeerDoesNotHideTheNextOne", DepartedPeerDoesNotHideTheNextOne},
    {"WaitOnInvalidSocketFails", WaitOnInvalidSocketFails},
    {"WaitTimesOutWithNothingPending", WaitTimesOutWithNothingPending},
    {"CallsOnInvalidSocketFail", CallsOnInvalidSocketFail},
    {"ConnectToClosedPortFails", ConnectToClosedPortFails},
    {"TcpRoundTripAndOrderlyClose", TcpRoundTripAndOrderlyClose},
    {"ConnectedSocketIsWritable", ConnectedSocketIsWritable},
};

}  // namespace
}  // namespace skyhelm::net

int main() {
  skyhelm::net::StartSocketLibrary(514);
  int passed = 0;
  int failed = 0;
  for (const skyhelm::net::Case& c : skyhelm::net::kCases) {
    const bool ok = c.run();
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", c.name);
    (ok ? passed : failed) += 1;
  }
  std::printf("winsock: %d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
