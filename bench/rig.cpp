// The bench's rig: the stand-in simulator in-process, the real bridge as a child with the bench as
// its UDP peer.
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>

#include "bench/bench.h"
#include "tests/support/bridge_rig.h"

namespace skyhelm::bench {

SimHost::~SimHost() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
}

bool SimHost::Start(double rate_hz, EventHandler on_event, std::string& error) {
  simulator::ServerOptions options;
  options.port = 0;
  options.rate_hz = rate_hz;
  simulator::World world;
  world.frozen = true;
  simulator::ServerLog log;
  // "event NAME DATA" -> on_event(NAME, DATA, now); other lines are ignored.
  log.out = [handler = std::move(on_event)](const std::string& line) {
    const std::int64_t logged_ns = NowNs();
    const std::size_t space = line.find(' ', 6);
    if (!handler || line.rfind("event ", 0) != 0 || space == std::string::npos) return;
    handler(std::string_view(line).substr(6, space - 6),
            std::strtoll(line.c_str() + space + 1, nullptr, 10), logged_ns);
  };
  server_ = std::make_unique<simulator::Server>(options, world, std::move(log));
  if (!server_->Listen(error)) return false;
  port_ = server_->port();
  thread_ = std::thread([this] { server_->Run(stop_); });
  return true;
}

void Peer::StopReading() {
  stop_.store(true);
  if (reader_.joinable()) reader_.join();
}

bool Peer::Connect(std::uint16_t bridge_port, DatagramHandler on_datagram) {
  socket_.emplace(bridge_port);
  const int buffer_bytes = 4 * 1024 * 1024;  // room for bursts of lines
  setsockopt(socket_->socket(), SOL_SOCKET, SO_RCVBUF, &buffer_bytes, sizeof buffer_bytes);
  if (!socket_->Join()) return false;
  reader_ = std::thread([this, handler = std::move(on_datagram)] {
    while (!stop_.load(std::memory_order_relaxed)) {
      const std::optional<std::string> datagram = socket_->Receive(std::chrono::milliseconds(100));
      if (!datagram) continue;
      const std::int64_t received_ns = NowNs();
      received_.fetch_add(1, std::memory_order_relaxed);
      if (handler) handler(*datagram, received_ns);
    }
  });
  return true;
}

bool StartWithPeer(const std::string& bridge_path, std::uint16_t sim_port,
                   const std::vector<std::string>& env, DatagramHandler on_datagram,
                   BridgeUnderTest& bridge, std::vector<std::string>& notes) {
  const int udp_port = test_support::FreeLoopbackPort(true);
  std::vector<std::string> all_env = env;
  all_env.push_back("SKYHELM_SIM_ADDRESS=127.0.0.1:" + std::to_string(sim_port));
  bridge.process = ChildProcess::Start(bridge_path, {std::to_string(udp_port)}, all_env,
                                       test_support::StderrMode::kDiscarded);
  if (!bridge.process) {
    notes.push_back("cannot start " + bridge_path);
    return false;
  }
  if (!bridge.process->WaitForStdout("Running...\n", test_support::kPatience)) {
    notes.push_back(bridge_path + " did not reach its loop (no \"Running...\") within 10 s");
    return false;
  }
  if (!bridge.peer.Connect(static_cast<std::uint16_t>(udp_port), std::move(on_datagram))) {
    notes.push_back("the bridge sent no line back to the peer within 10 s");
    return false;
  }
  return true;
}

BridgeUnderTest::~BridgeUnderTest() {
  if (!process) return;
  process->Signal(SIGTERM);
  process->Wait(std::chrono::seconds(1));  // then the process's destructor kills it if need be
}

long PeakRssKib(pid_t pid) { return test_support::ResidentKiB(pid, "VmHWM:"); }

}  // namespace skyhelm::bench
