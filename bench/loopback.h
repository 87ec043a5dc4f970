// Loopback sockets for the bench (Linux only; everything stays on 127.0.0.1). A free port and
// child processes come from tests/support, as for the tests.
#pragma once

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>

namespace skyhelm::bench {

// 127.0.0.1:port.
sockaddr_in LoopbackAddress(std::uint16_t port);

// A UDP socket bound to 127.0.0.1 on a free port (written to *port), with a large receive buffer
// and receives that give up after receive_timeout_ms. -1 on failure.
int OpenUdpLoopback(std::uint16_t* port, int receive_timeout_ms);

// A listening TCP socket on 127.0.0.1 on a free port. -1 on failure.
int ListenTcpLoopback(std::uint16_t* port);
// A connected TCP socket to 127.0.0.1:port with TCP_NODELAY. -1 on failure.
int ConnectTcpLoopback(std::uint16_t port);
// Accepts one connection and sets TCP_NODELAY on it. -1 on failure.
int AcceptTcp(int listener);

// Sets (or clears, with 0) the time after which a blocking receive gives up.
void SetReceiveTimeout(int fd, int timeout_ms);

// Reads or writes exactly length bytes on a stream socket; false on end of stream or error.
bool ReadExactly(int fd, void* buffer, std::size_t length);
bool WriteExactly(int fd, const void* data, std::size_t length);

}  // namespace skyhelm::bench
