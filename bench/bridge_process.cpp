// Starting the real bridge binary.
#include "bench/bridge_process.h"

#include <signal.h>

#include <chrono>

namespace skyhelm::bench {
namespace {

constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kStopTimeout = std::chrono::seconds(1);

}  // namespace

std::unique_ptr<ChildProcess> StartBridge(const std::string& bridge_path, std::uint16_t udp_port,
                                          std::uint16_t sim_port,
                                          const std::vector<std::string>& extra_env,
                                          std::string& error) {
  std::vector<std::string> env = extra_env;
  env.push_back("SKYHELM_SIM_ADDRESS=127.0.0.1:" + std::to_string(sim_port));
  auto bridge = ChildProcess::Start(bridge_path, {std::to_string(udp_port)}, env,
                                    test_support::StderrMode::kDiscarded);
  if (!bridge) {
    error = "cannot start " + bridge_path;
    return nullptr;
  }
  if (!bridge->WaitForStdout("Running...\n", kStartTimeout)) {
    error = bridge_path + " did not reach its loop (no \"Running...\") within 10 s";
    return nullptr;
  }
  return bridge;
}

bool StartWithPeer(const std::string& bridge_path, std::uint16_t sim_port,
                   const std::vector<std::string>& env, DatagramHandler on_datagram,
                   BridgeUnderTest& bridge, std::vector<std::string>& notes) {
  std::string error;
  const auto udp_port = static_cast<std::uint16_t>(test_support::FreeLoopbackPort(true));
  bridge.process = StartBridge(bridge_path, udp_port, sim_port, env, error);
  if (!bridge.process) {
    notes.push_back(error);
    return false;
  }
  if (!bridge.peer.Connect(udp_port, std::move(on_datagram))) {
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

}  // namespace skyhelm::bench
