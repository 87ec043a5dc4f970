// Async-signal-safe stop flag.
#include "tools/peer/stop_signal.h"

#include <csignal>

namespace skyhelm::peer {
namespace {

volatile std::sig_atomic_t g_stop_signal = 0;

void OnStopSignal(int signal_number) { g_stop_signal = signal_number; }

}  // namespace

void InstallStopHandlers() {
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

bool StopRequested() { return g_stop_signal != 0; }

int StopSignal() { return g_stop_signal; }

}  // namespace skyhelm::peer
