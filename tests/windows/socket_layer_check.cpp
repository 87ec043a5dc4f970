// Checks of the socket layer's promises, built for Windows and run under Wine (no GoogleTest for
// the cross toolchain): loopback UDP and TCP only. Prints one line per case and "N passed, N
// failed".
#include <cstdio>
#include <string>

#include "platform/net/socket.h"

namespace skyhelm::net {
namespace {

constexpr int kWaitMs = 5000;  // generous: only ever waited out when something is broken
constexpr int kBufferBytes = 1024;

// Binds `socket` to 127.0.0.1 on a port the system picks and returns where it listens.
sockaddr_in BindLoopback(Socket socket) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  Bind(socket, address, sizeof address);
  int length = sizeof address;
  getsockname(socket, reinterpret_cast<sockaddr*>(&address), &length);
  return address;
}

struct BoundUdp {
  Socket socket = OpenUdpSocket();
  sockaddr_in address = BindLoopback(socket);

  ~BoundUdp() { Close(socket); }
  void SendTo(const BoundUdp& to, const std::string& bytes) const {
    net::SendTo(socket, bytes.data(), static_cast<int>(bytes.size()), to.address,
                sizeof to.address);
  }
  // True when the next datagram (within kWaitMs) is exactly `expected` from `sender`; a null
  // sender expects the receive to fail.
  bool NextIs(const std::string& expected, const BoundUdp* sender) const {
    char buffer[kBufferBytes];
    sockaddr_in from{};
    int from_length = sizeof from;
    if (!WaitForReadable(socket, kWaitMs)) return false;
    const int n = ReceiveFrom(socket, buffer, kBufferBytes, from, from_length);
    if (sender == nullptr) return n == kSocketError;
    return n == static_cast<int>(expected.size()) &&
           std::string(buffer, expected.size()) == expected &&
           from.sin_port == sender->address.sin_port &&
           from.sin_addr.s_addr == sender->address.sin_addr.s_addr;
  }
};

const struct {
  const char* name;
  bool (*run)();
} kCases[] = {
    {"empty and full datagrams arrive with their sender, longer ones fail",
     [] {
       BoundUdp bridge, peer;
       const std::string full(kBufferBytes, 'x');
       for (const std::string& d :
            {std::string(), full, std::string(kBufferBytes + 1, 'h'), std::string("h270")}) {
         peer.SendTo(bridge, d);
       }
       return bridge.NextIs("", &peer) && bridge.NextIs(full, &peer) &&
              bridge.NextIs("", nullptr) && bridge.NextIs("h270", &peer);
     }},
    // Winsock reports an ICMP port unreachable on the next receive unless told not to.
    {"sends to a departed peer do not hide the next one's datagram",
     [] {
       BoundUdp bridge, newcomer;
       const sockaddr_in departed = BoundUdp().address;  // closed again at once
       for (int i = 0; i < 8; ++i) SendTo(bridge.socket, "line\r\n", 6, departed, sizeof departed);
       newcomer.SendTo(bridge, "1");
       return bridge.NextIs("1", &newcomer);
     }},
    // The layer has no server calls: the listening side uses the plain ones.
    {"TCP by name reports nothing pending, then the orderly close",
     [] {
       const Socket listener = ::socket(AF_INET, SOCK_STREAM, 0);
       const std::uint16_t port = ntohs(BindLoopback(listener).sin_port);
       ::listen(listener, 4);
       const Socket client = ConnectTcp("localhost", port, kWaitMs);  // returns once connected
       const Socket server =
           client != kInvalidSocket ? ::accept(listener, nullptr, nullptr) : kInvalidSocket;
       char buffer[16] = {};
       const bool nothing_pending = ReceiveSome(client, buffer, sizeof buffer) == 0;
       Close(server);
       const bool close_seen = WaitForReadable(client, kWaitMs) &&
                               ReceiveSome(client, buffer, sizeof buffer) == kSocketError;
       for (const Socket socket : {client, listener}) Close(socket);
       return client != kInvalidSocket && nothing_pending && close_seen;
     }},
};

}  // namespace
}  // namespace skyhelm::net

int main() {
  skyhelm::net::StartSocketLibrary(514);
  int passed = 0, failed = 0;
  for (const auto& c : skyhelm::net::kCases) {
    const bool ok = c.run();
    std::printf("%s %s\n", ok ? "ok  " : "FAIL", c.name);
    (ok ? passed : failed) += 1;
  }
  std::printf("winsock: %d passed, %d failed\n", passed, failed);
  return failed == 0 ? 0 : 1;
}
