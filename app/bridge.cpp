// Start-up of the UDP side and the bridge loop.
#include "app/bridge.h"

#include <cstdio>
#include <cstring>

#include "app/console.h"
#include "app/port_argument.h"
#include "app/stop_signal.h"
#include "platform/debug_output/debug_output.h"
#include "sim/sim_link.h"
#include "sim/telemetry.h"
#include "udp/command_protocol.h"

namespace skyhelm {
namespace {

constexpr std::uint16_t kWinsockVersion22 = 514;

constexpr long kWaitTimeoutUs = 100;

void RunLoopThunk(void* bridge) { RunLoop(*static_cast<SimBridge*>(bridge)); }

void ResetPassValues(SimBridge& bridge, std::int32_t& addressLength) {
  addressLength = kAddressBytes;
  bridge.waitTimeout.tv_sec = 0;
  bridge.waitTimeout.tv_usec = kWaitTimeoutUs;
}

// The received datagram's length, or -1 when nothing was received on this pass.
int WaitAndReceive(SimBridge& bridge, std::int32_t& addressLength) {
  bridge.waitResult = WaitForDatagram(bridge.udpSocket, bridge.readSet, bridge.waitTimeout);
  if (bridge.waitResult == net::kSocketError) WriteStatus("Error..\n");
  if (bridge.waitResult <= 0) return net::kSocketError;
  return ReceiveDatagram(bridge.udpSocket, bridge.receiveBuffer, bridge.address, addressLength,
                         bridge.peerKnown);
}

// Each command: its acknowledgement (and for "l"/"g" the value text) on the debugger output, then
// its event, before the next command.
void ApplyCommands(const SimBridge& bridge, int received) {
  const CommandList commands =
      ParseCommands(bridge.receiveBuffer, CommandBytes(bridge.receiveBuffer, received));
  for (std::size_t i = 0; i < commands.count; ++i) {
    const Command& command = commands.items[i];
    WriteDebugOutput(command.message);
    if (command.value_text != nullptr) {
      WriteDebugOutputEntry(command.value_text, command.value_length);
    }
    TransmitCommandEvent(bridge.simHandle, command.event, command.data);
  }
}

}  // namespace

void RunPass(SimBridge& bridge, std::int32_t& addressLength) {
  DispatchSimMessages(bridge.simHandle);
  ResetPassValues(bridge, addressLength);
  BindIfUnbound(bridge.udpSocket, bridge.address, BindResult);
  if (bridge.udpSocket == net::kInvalidSocket) WriteStatus("Socket Initialiation Error");
  const int received = WaitAndReceive(bridge, addressLength);
  ApplyCommands(bridge, received);
  SendLine(bridge.udpSocket, bridge.sendBuffer, LatestLine, bridge.address, addressLength,
           bridge.peerKnown);
}

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

void RunLoop(SimBridge& bridge) {
  // The simulator link cleared the flag before it opened the connection; a stop requested before
  // that must not be lost.
  if (StopRequested()) bridge.stopFlag.store(1);
  std::fputs("Running...\n", stdout);
  std::fflush(stdout);
  std::int32_t addressLength = kAddressBytes;
  while (bridge.stopFlag.load() == 0) RunPass(bridge, addressLength);
  CloseEndpoint(bridge.udpSocket);
}

}  // namespace skyhelm
