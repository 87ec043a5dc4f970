// IPv4 name resolution through getaddrinfo, the same call on POSIX and Winsock.
#include "platform/net/resolve_ipv4.h"

#if !defined(_WIN32)
#include <netdb.h>
#endif

#include <cstring>

namespace skyhelm::net {

bool ResolveIpv4(const char* host, std::uint16_t port, sockaddr_in& out) {
  std::memset(&out, 0, sizeof out);
  out.sin_family = AF_INET;
  out.sin_port = htons(port);
  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr) return false;
  out.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
  freeaddrinfo(found);
  return true;
}

}  // namespace skyhelm::net
