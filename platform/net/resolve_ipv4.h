// Name resolution for the socket layer's TCP connect, shared by the POSIX and Winsock sources.
#pragma once

#include <cstdint>

#include "platform/net/socket.h"

namespace skyhelm::net {

// Fills `out` with the IPv4 address of `host` (dotted numeric, or a name that resolves to IPv4)
// and `port`. Numeric addresses involve no lookup; names may block for the resolver's own time.
bool ResolveIpv4(const char* host, std::uint16_t port, sockaddr_in& out);

}  // namespace skyhelm::net
