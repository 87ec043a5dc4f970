// `send` and `line`: a few datagrams to the bridge and the first line that comes back.
#include "tools/peer/one_shot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ostream>
#include <vector>

#include "tools/common/command_check.h"
#include "tools/peer/command_effects.h"
#include "tools/peer/line_format.h"
#include "tools/peer/peer_claim.h"
#include "tools/peer/stop_signal.h"
#include "udp/command_protocol.h"

namespace skyhelm::peer {
namespace {

// How long `send` and `line` keep listening after the first line to see whether it changes.
constexpr double kChangeWindowS = 0.5;

std::string Seconds(double value_s) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f s", value_s);
  return text;
}

Clock::time_point After(double seconds) {
  return Clock::now() +
         std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

int StoppedExitCode() { return 128 + StopSignal(); }

// Checks every text; prints what each will do on `err`. False when one is refused (and not raw).
bool CheckTexts(const SendOptions& options, std::ostream& err) {
  bool all_ok = true;
  for (const std::string& text : options.texts) {
    const tools::CommandCheck check = tools::CheckCommand(text.data(), text.size());
    err << text.substr(0, 40) << (text.size() > 40 ? "..." : "") << " -> " << check.explanation
        << "\n";
    if (check.ok) continue;
    err << "skyhelm-peer: " << (options.raw ? "sending anyway (--raw): " : "refused: ")
        << check.problem << (options.raw ? "" : " (--raw sends it as it is)") << "\n";
    all_ok = all_ok && options.raw;
  }
  return all_ok;
}

}  // namespace

std::optional<TelemetryValues> WaitForLine(PeerSocket& socket, double timeout_s,
                                           LineTracker& tracker) {
  const Clock::time_point deadline = After(timeout_s);
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

std::optional<TelemetryValues> ClaimAndWait(PeerSocket& socket, double timeout_s,
                                            LineTracker& tracker) {
  constexpr auto kClaimEvery = std::chrono::milliseconds(200);
  const Clock::time_point deadline = After(timeout_s);
  for (Clock::time_point now = Clock::now(); !StopRequested() && now < deadline;
       now = Clock::now()) {
    socket.Send(kClaimDatagram);
    const double slice_s = std::min(std::chrono::duration<double>(deadline - now).count(),
                                    std::chrono::duration<double>(kClaimEvery).count());
    if (std::optional<TelemetryValues> line = WaitForLine(socket, slice_s, tracker)) return line;
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
         " (is the bridge running and listening on that port? A bridge whose port another "
         "program holds prints \"Running...\" too)";
}

int RunSend(const CommonOptions& common, const SendOptions& options, std::ostream& out,
            std::ostream& err) {
  if (!CheckTexts(options, err)) return kExitUsage;
  std::optional<PeerSocket> socket = OpenPeerSocket(common.bridge, err);
  if (!socket) return kExitNoLine;
  LineTracker tracker;
  const auto fail = [&](const std::string& message) {
    if (StopRequested()) return StoppedExitCode();
    err << "skyhelm-peer: " << message << "\n";
    return kExitNoLine;
  };
  // Claim the bridge and wait for its line before sending: a datagram that reaches the port
  // before the bridge has bound it is lost. The line also tells what the toggles start from.
  const std::optional<TelemetryValues> before = ClaimAndWait(*socket, common.timeout_s, tracker);
  if (!before) return fail(NoLineMessage(common.bridge_text, common.timeout_s, tracker));
  for (const std::string& text : options.texts) {
    if (!socket->Send(text)) return fail("cannot send \"" + text + "\" to " + common.bridge_text);
  }
  const Clock::time_point sent = Clock::now();
  std::optional<TelemetryValues> line = before;

  if (options.confirm) {
    const std::vector<Expectation> expected = ExpectedEffects(options.texts, *before);
    const Clock::time_point deadline = After(common.timeout_s);
    while (Unmet(expected, *before, *line) != nullptr && Clock::now() < deadline) {
      std::optional<TelemetryValues> next = WaitForLine(
          *socket, std::chrono::duration<double>(deadline - Clock::now()).count(), tracker);
      if (!next) break;
      line = next;
    }
    if (const Expectation* unmet = Unmet(expected, *before, *line)) {
      const std::size_t f = unmet->field;
      char wanted[32];
      std::snprintf(wanted, sizeof wanted, "%g", unmet->value);
      return fail(std::string("not confirmed: ") + kTelemetryFields[f].name + " is still " +
                  line->texts[f] + " " + Seconds(common.timeout_s) + " after sending (expected " +
                  (unmet->gear ? "movement toward " : "") + wanted +
                  "; is the simulator running, or did the aircraft refuse it?)");
    }
  } else {
    // Listen a little longer and print the newest line: a line that never changes tells of a
    // parked aircraft, or of a simulator that has stopped while the bridge repeats its last line.
    const Clock::time_point first = *tracker.last_new_line_time();
    const double window_s = std::min(kChangeWindowS, common.timeout_s);
    const Clock::time_point window_end = sent + (After(window_s) - Clock::now());
    std::string datagram;
    for (Clock::time_point now = Clock::now(); !StopRequested() && now < window_end;
         now = Clock::now()) {
      const auto left_ms =
          std::chrono::duration_cast<std::chrono::milliseconds>(window_end - now).count() + 1;
      if (socket->Receive(datagram, static_cast<int>(left_ms)) == ReceiveStatus::kDatagram) {
        tracker.Feed(datagram, Clock::now());
      }
    }
    if (StopRequested()) return StoppedExitCode();
    line = tracker.latest();
    if (*tracker.last_new_line_time() == first) {
      err << "skyhelm-peer: the line has not changed for " << Seconds(window_s)
          << " (a parked or paused aircraft repeats its line; so does a bridge whose simulator "
             "has gone)\n";
    }
  }
  out << (options.json ? FormatJson(*line) : FormatPairs(*line)) << std::endl;
  return kExitOk;
}

}  // namespace skyhelm::peer
