// The one-shot subcommands: `send` (datagrams out, one decoded line back) and `line`.
#pragma once

#include <iosfwd>
#include <optional>
#include <string>

#include "tools/peer/line_tracker.h"
#include "tools/peer/options.h"
#include "tools/peer/peer_socket.h"

namespace skyhelm::peer {

// Checks every text and refuses with kExitUsage what looks like a mistake; claims the bridge and
// waits for its line; sends every text as one datagram, in order; listens half a second more
// (noting on `err` when the line did not change meanwhile) and prints the newest line, as
// name=value pairs or JSON, on `out`. With options.confirm it instead waits until a line shows the
// commands' effect. kExitNoLine with a message on `err` when no valid line arrives within the
// timeout (or no effect shows), 128 + the signal when interrupted.
int RunSend(const CommonOptions& common, const SendOptions& options, std::ostream& out,
            std::ostream& err);

// Waits at most timeout_s for a valid line, feeding every datagram to `tracker`. nullopt on
// timeout or when a stop signal arrives.
std::optional<TelemetryValues> WaitForLine(PeerSocket& socket, double timeout_s,
                                           LineTracker& tracker);

// Sends "1" every 200 ms until a valid line arrives (the bridge may not have bound its port yet);
// nullopt when none arrives within timeout_s or a stop signal arrives.
std::optional<TelemetryValues> ClaimAndWait(PeerSocket& socket, double timeout_s,
                                            LineTracker& tracker);

// Why no line arrived, told from what did: nothing, only "no data yet", or malformed datagrams.
std::string NoLineMessage(const std::string& bridge_text, double timeout_s,
                          const LineTracker& tracker);

}  // namespace skyhelm::peer
