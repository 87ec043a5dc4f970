// Stopping the bridge from outside: a console interrupt or termination request sets the stop flag.
//
// POSIX: SIGINT and SIGTERM. Windows: the console control handler (Ctrl+C, Ctrl+Break, closing
// the console, logoff, shutdown). The handler only stores 1 into the flag (a lock-free atomic, so
// this is async-signal-safe); the loop sees it after its current pass, then the socket is closed,
// then the connection, and the process exits with status 0. Closing the console, logoff and
// shutdown end a Windows process as soon as the handler returns, so for those the handler then
// waits, at most kCloseWaitMs, until the entry point reports the clean-up done (ReportStopped).
// Nothing else sets the flag: the simulator's quit notification leaves the loop running on the
// last line.
#pragma once

#include <atomic>
#include <cstdint>

namespace skyhelm {

// Installs the handlers; from then on each stop request stores 1 into stop_flag, which must live
// until the process ends. Call once, before the first message. On POSIX the handlers are
// installed without SA_RESTART: a stop signal breaks any call the process waits in (a write to
// standard output included) instead of letting it carry on waiting; and SIGPIPE is ignored, so
// that a reader of standard error or output that goes away cannot end the bridge.
void InstallStopSignal(std::atomic<std::int32_t>& stop_flag);

// Whether a stop has been requested since InstallStopSignal. The simulator link clears the stop
// flag before it opens the connection; the loop asks this so that a request that came earlier is
// not lost.
bool StopRequested();

// How long a console close waits for the clean-up: less than the 5 s after which Windows ends an
// unresponsive process anyway.
inline constexpr std::uint32_t kCloseWaitMs = 4000;

// Reports that the loop has ended and the socket and connection are closed, releasing a console
// close that waits for it. Call once, after the clean-up. Does nothing on POSIX.
void ReportStopped();

}  // namespace skyhelm
