// Skyhelm: links the simulator's user aircraft to one UDP peer.
#include "app/bridge.h"
#include "app/port_argument.h"
#include "app/stop_signal.h"
#include "platform/debug_output/debug_output.h"

int main(int argc, char** argv) {
  skyhelm::WriteStatus("Initializing...\n");
  static skyhelm::SimBridge bridge;  // static: 2 KiB of buffers, and reachable for the whole run
  bridge.port = skyhelm::ChoosePort(argc, argv);
  skyhelm::InstallStopSignal(bridge.stopFlag);
  skyhelm::SetUpUdp(bridge);  // returns once the loop has ended and the clean-up has run
  skyhelm::ReportStopped();
  return 0;
}
