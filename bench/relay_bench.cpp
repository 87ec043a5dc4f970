// skyhelm-relay-bench: what skyhelm-relay costs, measured on the real programs in one run.
//
// Two simulator + bridge pairs run side by side. Commands go straight to bridge A, and to bridge B
// through the relay's UDP port and through its WebSocket (as the panel sends them), in turn; each
// is timed from the datagram or frame leaving this process to the simulator's "event" line. Then
// the relay's CPU is sampled with 0, 1, 10 and 100 WebSocket clients reading its stream.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench.h"
#include "tests/support/bridge_rig.h"
#include "platform/net/standard_streams.h"

namespace skyhelm::bench {
namespace {

namespace beast = boost::beast;
namespace net = boost::asio;
using tcp = net::ip::tcp;

using std::chrono::milliseconds;
using test_support::ChildProcess;
using test_support::StderrMode;

// The text after `prefix` on the line of the child's output that starts with it, waiting for it
// up to `timeout`; empty when it never came.
std::string WaitForLine(ChildProcess& child, const std::string& prefix, milliseconds timeout) {
  if (!child.WaitForStdout(prefix, timeout)) return {};
  const std::string& out = child.Stdout();
  const std::size_t at = out.find(prefix) + prefix.size();
  return out.substr(at, out.find('\n', at) - at);
}

struct Pair {
  std::unique_ptr<ChildProcess> sim, bridge;
  int bridge_port = 0;
};

bool StartPair(Pair& pair) {
  int sim_port = 0;
  pair.sim = test_support::StartSimulator({}, sim_port);
  if (!pair.sim) return false;
  pair.bridge_port = test_support::FreeLoopbackPort(true);
  // The bridge writes an acknowledgement per command to standard error, which nobody reads here.
  pair.bridge = test_support::StartBridge(pair.bridge_port, sim_port, {}, StderrMode::kDiscarded);
  return pair.bridge != nullptr;
}

// WebSocket readers on one thread of their own, counting frames.
class WebClients {
 public:
  WebClients(int port, int count) {
    for (int i = 0; i < count; ++i) clients_.push_back(std::make_unique<Client>(io_));
    for (auto& c : clients_) Connect(*c, port);
    thread_ = std::thread([this] { io_.run(); });
  }
  ~WebClients() {
    net::post(io_, [this] {
      for (auto& c : clients_) {
        beast::error_code ignored;
        beast::get_lowest_layer(c->ws).close(ignored);
      }
    });
    io_.stop();
    thread_.join();
  }
  std::uint64_t frames() const { return frames_.load(); }
  int open() const { return open_.load(); }

 private:
  struct Client {
    explicit Client(net::io_context& io) : ws(io) {}
    beast::websocket::stream<tcp::socket> ws;
    beast::flat_buffer buffer;
  };
  void Connect(Client& c, int port) {
    const tcp::endpoint relay(net::ip::make_address("127.0.0.1"),
                              static_cast<unsigned short>(port));
    beast::get_lowest_layer(c.ws).async_connect(relay, [this, &c, port](beast::error_code ec) {
      if (ec) return;
      c.ws.async_handshake("127.0.0.1:" + std::to_string(port), "/ws",
                           [this, &c](beast::error_code ec2) {
                             if (ec2) return;
                             ++open_;
                             Read(c);
                           });
    });
  }
  void Read(Client& c) {
    c.ws.async_read(c.buffer, [this, &c](beast::error_code ec, std::size_t) {
      if (ec) return;
      c.buffer.consume(c.buffer.size());
      ++frames_;
      Read(c);
    });
  }

  net::io_context io_;
  std::vector<std::unique_ptr<Client>> clients_;
  std::atomic<std::uint64_t> frames_{0};
  std::atomic<int> open_{0};
  std::thread thread_;
};

void SendTo(int fd, int port, const std::string& text) {
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(port));
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
}

void PrintLatency(const char* name, const LatencySummary& s) {
  std::printf("| %s | %zu | %.1f | %.1f | %.1f | %.0f |\n", name, s.count, s.p50_us, s.p99_us,
              s.p999_us, s.max_us);
}

int Run(int commands, double seconds, double rate_hz) {
  Pair direct, relayed;
  if (!StartPair(direct) || !StartPair(relayed)) {
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
  const std::string udp_port =
      relay ? WaitForLine(*relay, "relay udp 127.0.0.1:", milliseconds(10000)) : "";
  const std::string http_port =
      relay ? WaitForLine(*relay, "panel http://127.0.0.1:", milliseconds(10000)) : "";
  if (udp_port.empty() || http_port.empty()) {
    std::cerr << "relay-bench: the relay did not start\n";
    return 1;
  }
  const int relay_udp = std::atoi(udp_port.c_str());
  const int relay_http = std::atoi(http_port.c_str());

  // Latency: direct, relayed over UDP and relayed over the WebSocket in turn, distinct values.
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  SendTo(fd, direct.bridge_port, "1");
  SendTo(fd, relay_udp, "1");
  net::io_context io;
  beast::websocket::stream<tcp::socket> ws(io);
  beast::error_code ws_ec;
  beast::get_lowest_layer(ws).connect(
      tcp::endpoint(net::ip::make_address("127.0.0.1"), static_cast<unsigned short>(relay_http)),
      ws_ec);
  if (!ws_ec) ws.handshake("127.0.0.1:" + http_port, "/ws", ws_ec);
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
  std::vector<std::int64_t> direct_ns, relayed_ns, web_ns;
  for (int i = 0; i < 3 * commands; ++i) {
    const int path = i % 3;  // 0 direct, 1 relay UDP, 2 relay WebSocket
    // Altitude settings: a distinct value for every command that the relay's check accepts (a
    // heading above 360 would be refused before it is forwarded).
    const std::string value = std::to_string(1000 + i);
    Pair& pair = path == 0 ? direct : relayed;
    const std::int64_t sent = NowNs();
    if (path == 2) {
      ws.write(net::buffer(R"({"type":"command","text":"l)" + value + "\"}"), ws_ec);
    } else {
      SendTo(fd, path == 1 ? relay_udp : direct.bridge_port, "l" + value);
    }
    // The wait returns as soon as the read that completes the simulator's line does.
    if (pair.sim->WaitForStdout("event AP_ALT_VAR_SET_ENGLISH " + value + "\n",
                                milliseconds(2000))) {
      (path == 0 ? direct_ns : path == 1 ? relayed_ns : web_ns).push_back(NowNs() - sent);
    }
    // The relay takes 10 commands a second from one browser (a burst of 20): one round of three
    // every 105 ms stays below that.
    SleepNs(35000000);
  }
  close(fd);

  std::printf("## skyhelm-relay, one run (--rate %s)\n\n", rate);
  std::printf("Command latency, datagram sent -> simulator prints the event, us:\n\n");
  std::printf("| path | n | p50 | p99 | p99.9 | max |\n|---|---|---|---|---|---|\n");
  const LatencySummary d = Summarize(direct_ns), r = Summarize(relayed_ns), w = Summarize(web_ns);
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
    const std::int64_t cpu0 = ProcessCpuNs(relay->pid()), t0 = NowNs();
    const std::uint64_t frames0 = clients.frames();
    SleepNs(static_cast<std::int64_t>(seconds * 1e9));
    const std::int64_t cpu1 = ProcessCpuNs(relay->pid()), t1 = NowNs();
    const double wall = static_cast<double>(t1 - t0);
    const double per_client =
        count == 0 ? 0 : static_cast<double>(clients.frames() - frames0) / (wall / 1e9) / count;
    std::printf("| %d | %d | %.1f | %.1f |\n", count, clients.open(),
                100.0 * static_cast<double>(cpu1 - cpu0) / wall, per_client);
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
