// Starting the real bridge binary.
#include "bench/bridge_process.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "bench/loopback.h"

namespace skyhelm::bench {
namespace {

constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr int kPeerTimeoutMs = 10000;

struct Started {
  std::mutex mutex;
  std::condition_variable changed;
  bool running = false;
};

}  // namespace

std::unique_ptr<Child> StartBridge(const std::string& bridge_path, std::uint16_t udp_port,
                                   std::uint16_t sim_port,
                                   const std::vector<std::string>& extra_env, std::string& error) {
  auto started = std::make_shared<Started>();
  std::vector<std::string> env = extra_env;
  env.push_back("SKYHELM_SIM_ADDRESS=127.0.0.1:" + std::to_string(sim_port));
  auto bridge = Child::Start(bridge_path, {std::to_string(udp_port)}, env,
                             [started](std::string_view line, std::int64_t) {
                               if (line.find("Running...") == std::string_view::npos) return;
                               std::lock_guard<std::mutex> lock(started->mutex);
                               started->running = true;
                               started->changed.notify_all();
                             });
  if (!bridge) {
    error = "cannot start " + bridge_path;
    return nullptr;
  }
  std::unique_lock<std::mutex> lock(started->mutex);
  if (!started->changed.wait_for(lock, kStartTimeout, [&] { return started->running; })) {
    error = bridge_path + " did not reach its loop (no \"Running...\") within 10 s";
    return nullptr;
  }
  return bridge;
}

bool StartWithPeer(const std::string& bridge_path, std::uint16_t sim_port,
                   const std::vector<std::string>& env, DatagramHandler on_datagram,
                   BridgeUnderTest& bridge, std::vector<std::string>& notes) {
  std::string error;
  const std::uint16_t udp_port = FreeUdpPort();
  bridge.process = StartBridge(bridge_path, udp_port, sim_port, env, error);
  if (!bridge.process) {
    notes.push_back(error);
    return false;
  }
  if (!bridge.peer.Connect(udp_port, kPeerTimeoutMs, std::move(on_datagram))) {
    notes.push_back("the bridge sent no line back to the peer within 10 s");
    return false;
  }
  return true;
}

}  // namespace skyhelm::bench
