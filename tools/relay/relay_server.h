// skyhelm-relay's run time: the bridge's one peer upstream; UDP subscribers, browsers (HTTP and
// WebSocket) and the panel downstream. One thread, one Asio io_context for every socket and timer.
#pragma once

#include <cstddef>
#include <iosfwd>
#include <string>
#include <vector>

namespace skyhelm::relay {

struct RelayOptions {
  std::string bridge = "127.0.0.1:47001";  // the bridge's UDP port
  std::string listen = "127.0.0.1";        // address of the downstream UDP port and of HTTP
  int udp_port = 47002;                    // 0: any free port (printed)
  int http_port = 8047;                    // 0: any free port (printed)
  double rate_hz = 30;                     // most lines per second to each receiver
  double expire_s = 60;                    // a UDP subscriber silent this long is dropped
  std::string token;  // when set, browsers' commands must carry it; generated in network mode
  std::vector<std::string> allow_hosts;    // Host names served beside this machine's own
  std::vector<std::string> allow_origins;  // pages on other origins that may open a WebSocket
  std::size_t max_subscribers = 256;
  std::size_t max_web_clients = 256;       // WebSocket connections, counted from accept
  std::size_t max_http_connections = 128;  // plain HTTP connections, counted from accept
};

// Prints the ports it serves on `out` ("relay udp ADDR:PORT bridge ADDR:PORT", then
// "panel http://ADDR:PORT/"; on a non-loopback address then the panel's address with the token
// for each of this machine's addresses, and warnings on `err`), runs until SIGINT or SIGTERM, and
// returns the exit code: 0 after a signal, 1 when a socket cannot be set up (reason on `err`).
int RunRelay(const RelayOptions& options, std::ostream& out, std::ostream& err);

}  // namespace skyhelm::relay
