// The bridge record and the two phases that run on it: start-up of the UDP side and the loop.
//
// The loop runs until stopFlag is set, which only SIGINT/SIGTERM (the console control handler on
// Windows) do, see app/stop_signal.h; the simulator's quit notification changes nothing and the
// peer keeps receiving the last line. After the loop the socket is closed, then the connection,
// and the process exits with status 0.
#pragma once

#include "sim/simconnect_api.h"

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "platform/net/socket.h"
#include "udp/udp_endpoint.h"

namespace skyhelm {

// All per-run state. Exactly one per process, owned by the entry point for the whole run.
struct SimBridge {
  HANDLE simHandle = nullptr;             // the simulator connection (RunSimLink fills it)
  std::atomic<std::int32_t> stopFlag{0};  // the loop runs while it is 0
  timeval waitTimeout{};                  // readiness-wait timeout, set before every wait
  std::int32_t waitResult = 0;            // result of the last readiness wait
  net::Socket udpSocket = net::kInvalidSocket;
  sockaddr_in address{};  // first the bind address, then the sender of the last datagram (the peer)
  fd_set readSet{};       // holds at most udpSocket
  char sendBuffer[kDatagramBufferBytes] = {};
  char receiveBuffer[kDatagramBufferBytes] = {};
  std::int32_t port = 0;  // from the command line
  // Whether a receive has succeeded yet (a zero-length datagram counts): until then there is no
  // peer and nothing is sent.
  bool peerKnown = false;
};

// Start-up from the port message on: prints the port and the set-up texts, starts the socket
// library, prepares the bind address, creates the datagram socket and runs the simulator link.
// Returns only after the connection has ended (at once when no simulator answers).
void SetUpUdp(SimBridge& bridge);

// The bridge loop. Writes "Running...\n" to standard output and flushes it, then runs passes while
// stopFlag is 0 (tested before the first pass and after every pass), then closes the socket. A
// stop requested before the simulator link cleared the flag still counts (StopRequested). The
// loop never sleeps and no failure ends it.
void RunLoop(SimBridge& bridge);

// One pass of the loop, on the bridge record and the loop's addressLength:
//   1. dispatch the simulator's pending messages (each data message rebuilds LatestLine);
//   2. set addressLength to 16 and waitTimeout to 0 s, 100 us;
//   3. bind if still unbound (BindResult);
//   4. an invalid socket: the status "Socket Initialiation Error";
//   5. wait for the socket (waitResult; a failed wait: the status "Error..\n"); when readable,
//      receive one datagram (its sender becomes the peer) and apply its commands, each as its
//      acknowledgement on the debugger output ("l" and "g" then their value text) followed by
//      its simulator event, before the next command;
//   6. send LatestLine and "\r\n" to the peer, once a peer is known.
// Nothing in it waits but the wait of step 5: the debugger output, the receive and the send drop
// what cannot go at once.
void RunPass(SimBridge& bridge, std::int32_t& addressLength);

}  // namespace skyhelm
