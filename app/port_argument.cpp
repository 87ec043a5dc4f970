// Port argument conversion.
#include "app/port_argument.h"

#include <cstring>

#include "udp/decimal_value.h"

namespace skyhelm {

std::int32_t ParsePortArgument(const char* text) { return ReadDecimal(text, std::strlen(text)); }

std::int32_t ChoosePort(int argc, const char* const* argv) {
  return argc > 1 ? ParsePortArgument(argv[1]) : kDefaultPort;
}

std::uint16_t SocketPort(std::int32_t port) {
  return static_cast<std::uint16_t>(static_cast<std::uint32_t>(port) & 0xFFFFu);
}

}  // namespace skyhelm
