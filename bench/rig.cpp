// The bench's rig.
#include "bench/rig.h"

#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "bench/clock.h"
#include "tests/support/bridge_rig.h"

namespace skyhelm::bench {
namespace {

constexpr std::string_view kEventPrefix = "event ";
constexpr std::chrono::milliseconds kReaderWait(100);  // how often the reader looks at the flag
constexpr int kReceiveBufferBytes = 4 * 1024 * 1024;   // room for bursts of lines
constexpr auto kStopTimeout = std::chrono::seconds(1);

// "event NAME DATA" -> handler(NAME, DATA, now); other lines are ignored.
void ForwardEvent(const std::string& line, const EventHandler& on_event) {
  const std::int64_t logged_ns = NowNs();
  const std::string_view text(line);
  if (text.substr(0, kEventPrefix.size()) != kEventPrefix) return;
  const std::string_view rest = text.substr(kEventPrefix.size());
  const std::size_t space = rest.find(' ');
  if (space == std::string_view::npos) return;
  const std::int64_t data =
      std::strtoll(line.c_str() + kEventPrefix.size() + space + 1, nullptr, 10);
  on_event(rest.substr(0, space), data, logged_ns);
}

}  // namespace

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
  log.out = [handler = std::move(on_event)](const std::string& line) {
    if (handler) ForwardEvent(line, handler);
  };
  server_ = std::make_unique<simulator::Server>(options, world, std::move(log));
  if (!server_->Listen(error)) return false;
  port_ = server_->port();
  thread_ = std::thread([this] { server_->Run(stop_); });
  return true;
}

std::uint64_t SimHost::frames() const {
  return server_ ? server_->stats().frames.load(std::memory_order_relaxed) : 0;
}

Peer::~Peer() { StopReading(); }

void Peer::StopReading() {
  stop_.store(true);
  if (reader_.joinable()) reader_.join();
}

bool Peer::Connect(std::uint16_t bridge_port, DatagramHandler on_datagram) {
  socket_.emplace(bridge_port);
  setsockopt(socket_->socket(), SOL_SOCKET, SO_RCVBUF, &kReceiveBufferBytes,
             sizeof kReceiveBufferBytes);
  if (!socket_->Join()) return false;
  reader_ = std::thread(&Peer::ReadLoop, this, std::move(on_datagram));
  return true;
}

std::int64_t Peer::Send(std::string_view datagram) {
  const std::string bytes(datagram);
  const std::int64_t sent_ns = NowNs();
  socket_->Send(bytes);
  return sent_ns;
}

void Peer::ReadLoop(DatagramHandler on_datagram) {
  while (!stop_.load(std::memory_order_relaxed)) {
    const std::optional<std::string> datagram = socket_->Receive(kReaderWait);
    if (!datagram) continue;
    const std::int64_t received_ns = NowNs();
    received_.fetch_add(1, std::memory_order_relaxed);
    if (on_datagram) on_datagram(*datagram, received_ns);
  }
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
  process->Wait(kStopTimeout);  // then the process's destructor kills it if need be
}

std::int64_t ProcessCpuNs(pid_t pid) {
  std::int64_t total_ns = -1;
  std::error_code gone;
  const std::filesystem::path tasks = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& task : std::filesystem::directory_iterator(tasks, gone)) {
    std::ifstream schedstat(task.path() / "schedstat");
    long long on_cpu_ns = 0;
    if (schedstat >> on_cpu_ns) total_ns = (total_ns < 0 ? 0 : total_ns) + on_cpu_ns;
  }
  return total_ns;
}

long PeakRssKib(pid_t pid) { return test_support::ResidentKiB(pid, "VmHWM:"); }

}  // namespace skyhelm::bench
