// Stopping the bridge from outside: a console interrupt or termination request sets the stop flag.
//
// POSIX: SIGINT and SIGTERM. Windows: the console control handler (Ctrl+C, Ctrl+Break, closing
// the console). The handler only stores 1 into the flag (a lock-free atomic, so this is
// async-signal-safe); the loop sees it after its current pass, then the socket is closed, then the
// connection, and the process exits with status 0. Nothing else sets the flag: the simulator's
// quit notification leaves the loop running on the last line.
#pragma once

#include <atomic>
#include <cstdint>

namespace skyhelm {

// Installs the handlers; from then on each stop request stores 1 into stop_flag, which must live
// until the process ends. Call once, before the loop starts.
void InstallStopSignal(std::atomic<std::int32_t>& stop_flag);

}  // namespace skyhelm
