// skyhelm-relay-bench: what skyhelm-relay costs, measured on the real programs in one run.
//
// Two simulator + bridge pairs run side by side. Commands go straight to bridge A, and to bridge B
// through the relay's UDP port and through its WebSocket (as the panel sends them), in turn; each
// is timed from the datagram or frame leaving this process to the simulator's "event" line. Then
// the relay's CPU is sampled with 0, 1, 10 and 100 WebSocket clients reading its stream.
#include <CLI/CLI.hpp>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <iostream>

#include "bench/bench.h"
#include "platform/net/standard_streams.h"
#include "tests/support/bridge_rig.h"

namespace skyhelm::bench {
namespace {

namespace beast = boost::beast;
namespace net = boost::asio;
using tcp = net::ip::tcp;
using WebSocket = beast::websocket::stream<tcp::socket>;
using std::chrono::milliseconds;
using test_support::StderrMode;

struct Pair {
  std::unique_ptr<ChildProcess> sim, bridge;
  int bridge_port = test_support::FreeLoopbackPort(true);
  bool Start() {
    int sim_port = 0;
    sim = test_support::StartSimulator({}, sim_port);
    // The bridge writes an acknowledgement per command to standard error, which nobody reads here.
    if (sim)
      bridge = test_support::StartBridge(bridge_port, "127.0.0.1:" + std::to_string(sim_port), {},
                                         StderrMode::kDiscarded);
    return bridge != nullptr;
  }
};

// WebSocket readers on one thread of their own, counting frames.
class WebClients {
 public:
  WebClients(int port, int count) : sockets_(static_cast<std::size_t>(count)) {
    const tcp::endpoint relay(net::ip::make_address("127.0.0.1"), static_cast<std::uint16_t>(port));
    for (auto& ws : sockets_) {
      ws = std::make_unique<WebSocket>(io_);
      beast::get_lowest_layer(*ws).async_connect(relay, [this, &ws, port](beast::error_code ec) {
        if (ec) return;
        ws->async_handshake("127.0.0.1:" + std::to_string(port), "/ws", [this, &ws](auto ec2) {
          if (ec2) return;
          ++open_;
          Read(*ws, std::make_shared<beast::flat_buffer>());
        });
      });
    }
    thread_ = std::thread([this] { io_.run(); });
  }
  ~WebClients() {
    net::post(io_, [this] {
      beast::error_code ignored;
      for (auto& ws : sockets_) beast::get_lowest_layer(*ws).close(ignored);
    });
    io_.stop();
    thread_.join();
  }
  std::uint64_t frames() const { return frames_.load(); }
  int open() const { return open_.load(); }

 private:
  void Read(WebSocket& ws, std::shared_ptr<beast::flat_buffer> buffer) {
    ws.async_read(*buffer, [this, &ws, buffer](beast::error_code ec, std::size_t) {
      if (ec) return;
      buffer->consume(buffer->size());
      ++frames_;
      Read(ws, buffer);
    });
  }

  net::io_context io_;
  std::vector<std::unique_ptr<WebSocket>> sockets_;
  std::atomic<std::uint64_t> frames_{0};
  std::atomic<int> open_{0};
  std::thread thread_;
};

void PrintLatency(const char* name, const LatencySummary& s) {
  std::printf("| %s | %zu | %.1f | %.1f | %.1f | %.0f |\n", name, s.count, s.p50_us, s.p99_us,
              s.p999_us, s.max_us);
}

int Run(int commands, double seconds, double rate_hz) {
  Pair direct, relayed;
  if (!direct.Start() || !relayed.Start()) {
    std::cerr << "relay-bench: cannot start the simulators and bridges from "
              << test_support::BinPath("") << "\n";
    return 1;
  }
  char rate[32];
  std::snprintf(rate, sizeof rate, "%g", rate_hz);
  const auto relay =
      ChildProcess::Start(test_support::BinPath("skyhelm-relay"),
                          {"--bridge", "127.0.0.1:" + std::to_string(relayed.bridge_port),
                           "--udp-port", "0", "--http-port", "0", "--rate", rate},
                          {}, StderrMode::kDiscarded);
  const int relay_udp = relay ? relay->WaitForPort("relay udp ", test_support::kPatience) : 0;
  const int relay_http =
      relay ? relay->WaitForPort("panel http://127.0.0.1", test_support::kPatience) : 0;
  if (relay_udp == 0 || relay_http == 0) {
    std::cerr << "relay-bench: the relay did not start\n";
    return 1;
  }

  // Latency: direct, relayed over UDP and relayed over the WebSocket in turn, distinct values.
  const test_support::LoopbackPeer to_bridge(direct.bridge_port), to_relay(relay_udp);
  to_bridge.Send("1");
  to_relay.Send("1");
  net::io_context io;
  WebSocket ws(io);
  beast::error_code ws_ec;
  beast::get_lowest_layer(ws).connect(
      tcp::endpoint(net::ip::make_address("127.0.0.1"), static_cast<std::uint16_t>(relay_http)),
      ws_ec);
  if (!ws_ec) ws.handshake("127.0.0.1:" + std::to_string(relay_http), "/ws", ws_ec);
  // Almost no telemetry on this socket: the bench writes commands and never reads.
  if (!ws_ec) {
    ws.write(
        net::buffer(std::string(R"({"type":"subscribe","fields":["heading_bug"],"rate":0.1})")),
        ws_ec);
  }
  if (ws_ec) {
    std::cerr << "relay-bench: no WebSocket to the relay: " << ws_ec.message() << "\n";
    return 1;
  }
  SleepNs(1000000000);  // both bridges connected to their simulators, the relay live
  std::vector<std::int64_t> latencies_ns[3];  // direct, relay UDP, relay WebSocket
  for (int i = 0; i < 3 * commands; ++i) {
    const int path = i % 3;
    // Altitude settings: a distinct value for every command that the relay's check accepts (a
    // heading above 360 would be refused before it is forwarded).
    const std::string value = std::to_string(1000 + i);
    const std::int64_t sent = NowNs();
    if (path == 2) {
      ws.write(net::buffer(R"({"type":"command","text":"l)" + value + "\"}"), ws_ec);
    } else {
      (path == 0 ? to_bridge : to_relay).Send("l" + value);
    }
    // The wait returns as soon as the read that completes the simulator's line does.
    if ((path == 0 ? direct : relayed)
            .sim->WaitForStdout("event AP_ALT_VAR_SET_ENGLISH " + value + "\n",
                                milliseconds(2000))) {
      latencies_ns[path].push_back(NowNs() - sent);
    }
    // The relay takes 10 commands a second from one browser (a burst of 20): one round of three
    // every 105 ms stays below that.
    SleepNs(35000000);
  }

  std::printf("## skyhelm-relay, one run (--rate %s)\n\n", rate);
  std::printf("Command latency, datagram sent -> simulator prints the event, us:\n\n");
  std::printf("| path | n | p50 | p99 | p99.9 | max |\n|---|---|---|---|---|---|\n");
  const LatencySummary d = Summarize(latencies_ns[0]), r = Summarize(latencies_ns[1]),
                       w = Summarize(latencies_ns[2]);
  PrintLatency("straight to the bridge", d);
  PrintLatency("through the relay's UDP port", r);
  PrintLatency("through the relay's WebSocket", w);
  std::printf(
      "\nAdded by the relay: UDP p50 %+.1f us, p99 %+.1f us; WebSocket p50 %+.1f us, "
      "p99 %+.1f us (target: at most +150 us at p50 on a quiet machine).\n\n",
      r.p50_us - d.p50_us, r.p99_us - d.p99_us, w.p50_us - d.p50_us, w.p99_us - d.p99_us);

  std::printf("Relay CPU with WebSocket clients reading its stream (%g s each):\n\n", seconds);
  std::printf(
      "| clients | open | relay CPU, %% of one core | frames/s per client |\n|---|---|---|---|\n");
  for (const int count : {0, 1, 10, 100}) {
    WebClients clients(relay_http, count);
    const std::int64_t settle_end = NowNs() + 3000000000LL;
    while (clients.open() < count && NowNs() < settle_end) SleepNs(10000000);
    SleepNs(500000000);
    const LoopCost cost = WatchLoop(
        relay->pid(), [&clients] { return clients.frames(); }, seconds);
    std::printf("| %d | %d | %.1f | %.1f |\n", count, clients.open(),
                100.0 * static_cast<double>(cost.cpu_ns) / (cost.wall_s * 1e9),
                count == 0 ? 0 : cost.PassesPerSecond() / count);
  }
  std::printf("\n(target: 100 clients under 10%% of one core)\n");
  std::printf("\nPeak RSS of the relay: %ld KiB.\n", PeakRssKib(relay->pid()));
  return 0;
}

}  // namespace
}  // namespace skyhelm::bench

int main(int argc, char** argv) {
  if (!skyhelm::net::EnsureStandardStreams()) return 1;
  int commands = 150;
  double seconds = 5;
  double rate_hz = 30;
  CLI::App app("Measures skyhelm-relay: command latency added and CPU per WebSocket client.",
               "skyhelm-relay-bench");
  app.add_option("--commands", commands, "commands per path")->capture_default_str();
  app.add_option("--seconds", seconds, "length of each CPU sample")->capture_default_str();
  app.add_option("--rate", rate_hz, "the relay's --rate")->capture_default_str();
  CLI11_PARSE(app, argc, argv);
  return skyhelm::bench::Run(commands, seconds, rate_hz);
}
