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
};

// Start-up from the port message on: prints the port and the set-up texts, starts the socket
// library, prepares the bind address, creates the datagram socket and runs the simulator link.
// Returns only after the connection has ended (at once when no simulator answers).
void SetUpUdp(SimBridge& bridge);

// The bridge loop. Writes "Running...\n" to standard output and flushes it, then runs passes while
// stopFlag is 0 (tested before the first pass and after every pass), then closes the socket. One
// pass: dispatch the simulator's pending messages (refreshing LatestLine), bind if still unbound,
// report an invalid socket, wait at most 100 microseconds for one datagram and receive it, apply
// its commands, send LatestLine to the peer. The loop never sleeps and no failure ends it.
void RunLoop(SimBridge& bridge);

}  // namespace skyhelm
