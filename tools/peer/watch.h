// `watch`: the bridge's line live in the terminal, or one decoded line a second elsewhere.
#pragma once

#include <iosfwd>

#include "tools/peer/options.h"

namespace skyhelm::peer {

// On a terminal (standard input and output both, unless force_plain): a full-screen view
// redrawn at most 20 times a second, with a command line whose Enter sends the typed datagram;
// q or Ctrl-C ends it and restores the terminal. Otherwise: the newest line once a second on
// `out` (pairs or JSON), warnings on `err`. Both send "1" at the start and again whenever the
// bridge is quiet for a second. kExitNoLine when no valid line arrives within the timeout;
// otherwise kExitOk when it ends (q, Ctrl-C, SIGTERM or the --seconds limit).
int RunWatch(const CommonOptions& common, const WatchOptions& options, std::ostream& out,
             std::ostream& err);

}  // namespace skyhelm::peer
