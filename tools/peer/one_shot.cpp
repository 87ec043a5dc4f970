// `send` and `line`: a few datagrams to the bridge and the first line that comes back.
#include "tools/peer/one_shot.h"

#include <cstdio>
#include <ostream>

#include "tools/peer/line_format.h"
#include "tools/peer/stop_signal.h"

namespace skyhelm::peer {
namespace {

std::string Seconds(double value_s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", value_s);
  return text;
}

}  // namespace

std::optional<TelemetryValues> WaitForLine(PeerSocket& socket, double timeout_s,
                                           LineTracker& tracker) {
  const Clock::time_point deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                        std::chrono::duration<double>(timeout_s));
  std::string datagram;
  while (!StopRequested()) {
    const Clock::time_point now = Clock::now();
    if (now >= deadline) break;
    const auto left_ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count() + 1;
    if (socket.Receive(datagram, static_cast<int>(left_ms)) != ReceiveStatus::kDatagram) continue;
    const Arrival arrival = tracker.Feed(datagram, Clock::now());
    if (arrival == Arrival::kNewLine || arrival == Arrival::kDuplicate) return tracker.latest();
  }
  return std::nullopt;
}

std::string NoLineMessage(const std::string& bridge_text, double timeout_s,
                          const LineTracker& tracker) {
  const StreamCounts& counts = tracker.counts();
  if (counts.malformed > 0) {
    return std::to_string(counts.malformed) + " malformed datagram(s) from " + bridge_text +
           " and no valid line within " + Seconds(timeout_s) + "; the last one " +
           tracker.last_problem();
  }
  if (counts.no_data > 0) {
    return "the bridge at " + bridge_text + " has no data yet (it answered " +
           std::to_string(counts.no_data) + " time(s) with an empty line within " +
           Seconds(timeout_s) + "; is the simulator running?)";
  }
  return "no line from " + bridge_text + " within " + Seconds(timeout_s) +
         " (is the bridge running and listening on that port?)";
}

int RunSend(const CommonOptions& common, const SendOptions& options, std::ostream& out,
            std::ostream& err) {
  std::optional<PeerSocket> socket = OpenPeerSocket(common.bridge, err);
  if (!socket) return kExitNoLine;
  for (const std::string& text : options.texts) {
    if (!socket->Send(text)) {
      err << "skyhelm-peer: cannot send \"" << text << "\" to " << common.bridge_text << "\n";
      return kExitNoLine;
    }
  }
  LineTracker tracker;
  const std::optional<TelemetryValues> line = WaitForLine(*socket, common.timeout_s, tracker);
  if (!line) {
    err << "skyhelm-peer: " << NoLineMessage(common.bridge_text, common.timeout_s, tracker) << "\n";
    return kExitNoLine;
  }
  out << (options.json ? FormatJson(*line) : FormatPairs(*line)) << std::endl;
  return kExitOk;
}

}  // namespace skyhelm::peer
