// Starting the real bridge binary for the bench.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "bench/peer.h"
#include "tests/support/child_process.h"

namespace skyhelm::bench {

using test_support::ChildProcess;

// Starts `bridge_path` with its UDP port as first argument and SKYHELM_SIM_ADDRESS pointing at
// 127.0.0.1:sim_port (plus `extra_env`), and waits until it has written "Running..." (its loop has
// started). Its standard error (an acknowledgement per command) goes to /dev/null. nullptr, with
// the reason in `error`, when it does not get that far within ten seconds.
std::unique_ptr<ChildProcess> StartBridge(const std::string& bridge_path, std::uint16_t udp_port,
                                          std::uint16_t sim_port,
                                          const std::vector<std::string>& extra_env,
                                          std::string& error);

// A bridge process with the bench as its peer. The bridge is stopped with SIGTERM (SIGKILL after
// a second) when this goes.
struct BridgeUnderTest {
  ~BridgeUnderTest();
  std::unique_ptr<ChildProcess> process;
  Peer peer;
};

// Starts the bridge (as StartBridge, on a free UDP port) and makes `bridge.peer` its peer, the
// peer's datagrams going to on_datagram. False, with the reason appended to `notes`, when either
// step fails.
bool StartWithPeer(const std::string& bridge_path, std::uint16_t sim_port,
                   const std::vector<std::string>& env, DatagramHandler on_datagram,
                   BridgeUnderTest& bridge, std::vector<std::string>& notes);

}  // namespace skyhelm::bench
