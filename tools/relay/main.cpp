// skyhelm-relay: the bridge's one peer, serving many UDP peers and browsers with a web panel.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "platform/net/standard_streams.h"
#include "tools/relay/relay_server.h"

namespace {

// A number within [min, max], refused in words that name what the number is ("lines per second").
CLI::Validator NumberIn(double min, double max, const char* what) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        char* end = nullptr;
        const double value = std::strtod(text.c_str(), &end);
        if (!text.empty() && *end == '\0' && value >= min && value <= max) return {};
        char range[64];
        std::snprintf(range, sizeof range, "from %g to %g", min, max);
        return "\"" + text.substr(0, 32) + "\" is not a number of " + what + " " + range;
      },
      "NUMBER");
}

}  // namespace

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
      ->check(NumberIn(0.1, 1000.0, "lines per second"));
  app.add_option("--expire", options.expire_s,
                 "seconds of silence after which a UDP subscriber's lines pause for 3 s (a peer "
                 "that resends \"1\" after a second without lines stays); still silent, it is "
                 "dropped")
      ->capture_default_str()
      ->check(NumberIn(0.1, 86400.0, "seconds"));
  app.add_option("--token", options.token,
                 "browsers must send this with each command (viewing stays open); on a "
                 "non-loopback --listen one is generated when none is given");
  app.add_option("--allow-host", options.allow_hosts,
                 "also serve this Host name (beside loopback, this machine's addresses and host "
                 "name); repeatable")
      ->type_name("NAME");
  app.add_option("--allow-origin", options.allow_origins,
                 "also accept WebSockets from pages of this origin (e.g. http://dev.example:3000); "
                 "repeatable")
      ->type_name("ORIGIN");
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
