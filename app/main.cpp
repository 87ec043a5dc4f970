// Skyhelm: links the simulator's user aircraft to one UDP peer.
#include "app/bridge.h"
#include "app/console.h"
#include "app/port_argument.h"
#include "app/stop_signal.h"
#include "platform/net/standard_streams.h"

int main(int argc, char** argv) {
  if (!skyhelm::net::EnsureStandardStreams()) return 1;
  // static: 2 KiB of buffers, reachable for the whole run, and there before the first message, so
  // that a stop request from then on is never lost.
  static skyhelm::SimBridge bridge;
  skyhelm::InstallStopSignal(bridge.stopFlag);
  skyhelm::SetUpConsole();
  skyhelm::WriteStatus("Initializing...\n");
  bridge.port = skyhelm::ChoosePort(argc, argv);
  skyhelm::SetUpUdp(bridge);  // returns once the loop has ended and the clean-up has run
  skyhelm::ReportStopped();
  return 0;
}
