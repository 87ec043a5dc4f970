// Start-up of the UDP side and the bridge loop.
#include "app/bridge.h"

#include <cstdio>
#include <cstring>

#include "app/port_argument.h"
#include "platform/debug_output/debug_output.h"
#include "sim/sim_link.h"

namespace skyhelm {
namespace {

constexpr std::uint16_t kWinsockVersion22 = 514;

void RunLoopThunk(void* bridge) { RunLoop(*static_cast<SimBridge*>(bridge)); }

}  // namespace

void SetUpUdp(SimBridge& bridge) {
  bridge.udpSocket = net::kInvalidSocket;
  std::printf("Port is set to %d\n", static_cast<int>(bridge.port));
  WriteStatus("Setting Up UDP Client...\n");
  net::StartSocketLibrary(kWinsockVersion22);

  std::memset(&bridge.address, 0, sizeof bridge.address);
  bridge.address.sin_family = AF_INET;
  bridge.address.sin_port = htons(SocketPort(bridge.port));

  bridge.udpSocket = net::OpenUdpSocket();
  WriteStatus("Starting Skyhelm Setup...\n");
  RunSimLink(bridge.simHandle, bridge.stopFlag, &RunLoopThunk, &bridge);
}

void RunLoop(SimBridge& bridge) { net::Close(bridge.udpSocket); }

}  // namespace skyhelm
