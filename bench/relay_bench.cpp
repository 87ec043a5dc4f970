// skyhelm-relay-bench: what skyhelm-relay costs, measured on the real programs in one run.
//
// Two simulator + bridge pairs run side by side. Commands go straight to bridge A and through the
// relay to bridge B, alternately; each is timed from the datagram leaving this process to the
// simulator's "event" line. Then the relay's CPU is sampled with 0, 1, 10 and 100 WebSocket
// clients reading its stream.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <boost/asio.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/websocket.hpp>
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bench/child.h"
#include "bench/clock.h"
#include "bench/proc_stats.h"
#include "bench/stats.h"

namespace skyhelm::bench {
namespace {

namespace beast = boost::beast;
namespace net = boost::asio;
using tcp = net::ip::tcp;

// Lines a child printed, with the time each was read; waited on by the bench's thread.
class Transcript {
 public:
  void Add(std::string_view line, std::int64_t read_ns) {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.emplace(std::string(line), read_ns);
    changed_.notify_all();
  }
  // Read time of the first line that starts with `prefix`, waiting up to timeout_ms.
  std::optional<std::pair<std::string, std::int64_t>> Wait(const std::string& prefix,
                                                           int timeout_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    std::optional<std::pair<std::string, std::int64_t>> found;
    changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
      const auto it = lines_.lower_bound(prefix);
      if (it != lines_.end() && it->first.rfind(prefix, 0) == 0) found = *it;
      return found.has_value();
    });
    return found;
  }
  LineHandler Handler() {
    return [this](std::string_view line, std::int64_t read_ns) { Add(line, read_ns); };
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::multimap<std::string, std::int64_t> lines_;
};

std::string BinDir() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string self(path, n > 0 ? static_cast<std::size_t>(n) : 0);
  return self.substr(0, self.rfind('/'));
}

int FreeUdpPort() {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

struct Pair {
  Transcript sim_out;
  std::unique_ptr<Child> sim, bridge;
  int bridge_port = 0;
};

bool StartPair(const std::string& bin, Pair& pair) {
  pair.sim = Child::Start(bin + "/skyhelm-sim", {"--port", "0"}, {}, pair.sim_out.Handler());
  const auto listening = pair.sim_out.Wait("listening on ", 10000);
  if (!pair.sim || !listening) return false;
  pair.bridge_port = FreeUdpPort();
  pair.bridge = Child::Start(bin + "/skyhelm", {std::to_string(pair.bridge_port)},
                             {"SKYHELM_SIM_ADDRESS=" + listening->first.substr(13)}, nullptr);
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
  const std::string bin = BinDir();
  Pair direct, relayed;
  if (!StartPair(bin, direct) || !StartPair(bin, relayed)) {
    std::cerr << "relay-bench: cannot start the simulators and bridges from " << bin << "\n";
    return 1;
  }
  Transcript relay_out;
  char rate[32];
  std::snprintf(rate, sizeof rate, "%g", rate_hz);
  const auto relay = Child::Start(bin + "/skyhelm-relay",
                                  {"--bridge", "127.0.0.1:" + std::to_string(relayed.bridge_port),
                                   "--udp-port", "0", "--http-port", "0", "--rate", rate},
                                  {}, relay_out.Handler());
  const auto udp_line = relay_out.Wait("relay udp 127.0.0.1:", 10000);
  const auto http_line = relay_out.Wait("panel http://127.0.0.1:", 10000);
  if (!relay || !udp_line || !http_line) {
    std::cerr << "relay-bench: the relay did not start\n";
    return 1;
  }
  const int relay_udp = std::atoi(udp_line->first.c_str() + 20);
  const int relay_http = std::atoi(http_line->first.c_str() + 23);

  // Latency: alternate direct and relayed commands with distinct values.
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  SendTo(fd, direct.bridge_port, "1");
  SendTo(fd, relay_udp, "1");
  SleepNs(1000000000);  // both bridges connected to their simulators, the relay live
  std::vector<std::int64_t> direct_ns, relayed_ns;
  for (int i = 0; i < 2 * commands; ++i) {
    const bool via_relay = i % 2 == 1;
    const std::string value = std::to_string(1000 + i);
    Pair& pair = via_relay ? relayed : direct;
    const std::int64_t sent = NowNs();
    SendTo(fd, via_relay ? relay_udp : direct.bridge_port, "h" + value);
    const auto event = pair.sim_out.Wait("event HEADING_BUG_SET " + value, 2000);
    if (event) (via_relay ? relayed_ns : direct_ns).push_back(event->second - sent);
    SleepNs(3000000);
  }
  close(fd);

  std::printf("## skyhelm-relay, one run (--rate %s)\n\n", rate);
  std::printf("Command latency, datagram sent -> simulator prints the event, us:\n\n");
  std::printf("| path | n | p50 | p99 | p99.9 | max |\n|---|---|---|---|---|---|\n");
  const LatencySummary d = Summarize(direct_ns), r = Summarize(relayed_ns);
  PrintLatency("straight to the bridge", d);
  PrintLatency("through the relay", r);
  std::printf("\nAdded by the relay: p50 %+.1f us, p99 %+.1f us.\n\n", r.p50_us - d.p50_us,
              r.p99_us - d.p99_us);

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
  std::printf("\nPeak RSS of the relay: %ld KiB.\n", PeakRssKib(relay->pid()));
  return 0;
}

}  // namespace
}  // namespace skyhelm::bench

int main(int argc, char** argv) {
  int commands = 300;
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
