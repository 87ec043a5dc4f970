// The bridge's one command-line argument: the UDP port.
#pragma once

#include <cstdint>

namespace skyhelm {

inline constexpr std::int32_t kDefaultPort = 47001;

// Converts the port argument by atoi rules: leading white space skipped, an optional sign, decimal
// digits up to the first other character; 0 when there are no digits ("900x" -> 900, "abc" -> 0,
// "-1" -> -1). A number beyond the signed 32-bit range saturates to INT32_MAX or INT32_MIN (atoi
// itself leaves that undefined).
std::int32_t ParsePortArgument(const char* text);

// The port for an argument vector: the first argument converted as above, else kDefaultPort.
std::int32_t ChoosePort(int argc, const char* const* argv);

// The 16-bit port the socket address carries: the low 16 bits of port (70000 -> 4464, -1 -> 65535).
std::uint16_t SocketPort(std::int32_t port);

}  // namespace skyhelm
