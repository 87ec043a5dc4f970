// SIGINT/SIGTERM as a request to stop: long-running subcommands poll it and end cleanly.
#pragma once

namespace skyhelm::peer {

// Installs handlers (without SA_RESTART, so a blocking poll returns early with EINTR).
void InstallStopHandlers();
bool StopRequested();
// The signal that asked to stop (0 if none), so the caller can report it.
int StopSignal();

}  // namespace skyhelm::peer
