// skyhelm-relay: the bridge's one peer, serving many UDP peers and browsers with a web panel.
#include <CLI/CLI.hpp>
#include <iostream>

#include "platform/net/standard_streams.h"
#include "tools/relay/relay_server.h"

int main(int argc, char** argv) {
  if (!skyhelm::net::EnsureStandardStreams()) return 1;
  skyhelm::relay::RelayOptions options;
  CLI::App app(
      "The Skyhelm bridge's one peer, serving many: UDP subscribers in the bridge's own dialect, "
      "browsers over HTTP and WebSocket, and the autopilot panel at /.",
      "skyhelm-relay");
  app.set_version_flag("--version", "skyhelm-relay " SKYHELM_VERSION);
  app.add_option("--bridge", options.bridge, "the bridge's UDP port, HOST:PORT")
      ->capture_default_str()
      ->check([](const std::string& text) -> std::string {
        const auto colon = text.rfind(':');
        if (colon == std::string::npos || colon == 0) return "expected HOST:PORT";
        const std::string port = text.substr(colon + 1);
        if (port.empty() || port.size() > 5 ||
            port.find_first_not_of("0123456789") != std::string::npos || std::stoi(port) < 1 ||
            std::stoi(port) > 65535) {
          return "the port must be 1 to 65535";
        }
        return "";
      });
  app.add_option("--listen", options.listen,
                 "IPv4 address for the UDP subscribers' port and HTTP (0.0.0.0: all interfaces)")
      ->capture_default_str()
      ->check(CLI::ValidIPV4);
  app.add_option("--udp-port", options.udp_port, "UDP port for subscribers (0: any free port)")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  app.add_option("--http-port", options.http_port, "HTTP/WebSocket port (0: any free port)")
      ->capture_default_str()
      ->check(CLI::Range(0, 65535));
  app.add_option("--rate", options.rate_hz, "most lines per second to each subscriber and browser")
      ->capture_default_str()
      ->check(CLI::Range(0.1, 1000.0));
  app.add_option("--expire", options.expire_s,
                 "seconds of silence after which a UDP subscriber is dropped")
      ->capture_default_str()
      ->check(CLI::Range(0.1, 86400.0));
  app.add_option("--token", options.token,
                 "browsers must send this with each command (viewing stays open)");
  app.footer(
      "Exit codes: 0 stopped by SIGINT/SIGTERM, 1 a socket could not be set up, 2 bad usage.");
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    const int code = app.exit(e);
    return code == 0 ? 0 : 2;
  }
  return skyhelm::relay::RunRelay(options, std::cout, std::cerr);
}
