// `record`: every distinct line into a CSV file until a time limit or a stop signal.
#pragma once

#include <iosfwd>

#include "tools/peer/options.h"

namespace skyhelm::peer {

// Writes the header, then one row per distinct valid line (receive time in seconds since the
// command started, then the 21 texts as received). Warnings go to `err`; the summary ("record:
// N rows ...") goes to `out` at the end, also after SIGINT/SIGTERM. kExitNoLine when no valid
// line arrives within the timeout (no file is created then) or the file cannot be written.
int RunRecord(const CommonOptions& common, const RecordOptions& options, std::ostream& out,
              std::ostream& err);

}  // namespace skyhelm::peer
