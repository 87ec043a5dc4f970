// `record`: the distinct lines of a flight as CSV, with warnings when the stream stalls, breaks
// off or is taken by another peer, and optionally the commands read from standard input.
#include "tools/peer/record.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <ostream>

#include "tools/common/command_check.h"
#include "tools/peer/line_format.h"
#include "tools/peer/one_shot.h"
#include "tools/peer/peer_claim.h"
#include "tools/peer/stall_monitor.h"
#include "tools/peer/stop_signal.h"

namespace skyhelm::peer {
namespace {

constexpr int kWaitSliceMs = 20;
// Bounds one drain of the socket so that the clock and the stop flag are looked at regularly.
constexpr int kMaxDrain = 4096;
// The bridge sends thousands of datagrams a second; a pause this long (six frames of a 60 Hz
// simulator, and longer than the socket's receive buffer bridges when this process is late) is a
// hole in the recording.
constexpr auto kGap = std::chrono::milliseconds(100);
// A recorder claims the bridge back quickly, so that a one-shot `send` costs only a short pause,
// shorter than a gap.
constexpr auto kReclaimAfter = std::chrono::milliseconds(50);
// A bridge answers a claim within a pass (a fraction of a millisecond); this much slack covers a
// loaded machine.
constexpr auto kClaimAnswered = std::chrono::milliseconds(30);

double SecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

std::string Fixed(double value, const char* format = "%.1f") {
  char text[32];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

class Recording {
 public:
  Recording(const CommonOptions& common, const RecordOptions& options, PeerSocket& socket,
            std::ostream& err)
      : common_(common),
        options_(options),
        socket_(socket),
        err_(err),
        claim_(kReclaimAfter),
        stalls_(std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(common.timeout_s))),
        reading_commands_(options.commands) {}

  // Runs until the time limit or a stop signal; false when it must fail (message already on err).
  bool Run() {
    start_ = Clock::now();
    while (!StopRequested()) {
      const Clock::time_point now = Clock::now();
      if (options_.seconds > 0 && SecondsBetween(start_, now) >= options_.seconds) break;
      if (!file_open_ && SecondsBetween(start_, now) >= common_.timeout_s) {
        err_ << "skyhelm-peer: " << NoLineMessage(common_.bridge_text, common_.timeout_s, tracker_)
             << "\n";
        return false;
      }
      // Only the first claim after the stream broke off tells a takeover: later ones go out
      // every 50 ms of a pause, and lines that resume on their own would land close to one.
      if (claim_.Tick(socket_, tracker_, now) == ClaimSent::kAfterSilence &&
          tracker_.last_datagram_time()) {
        witness_.ClaimedAfterSilence(now);
      }
      if (file_open_) Warn(stalls_.Check(tracker_, now));
      if (reading_commands_) ReadCommands();
      if (!ReceiveSome()) return false;
    }
    return Finish();
  }

  bool has_file() const { return file_open_; }

  void PrintSummary(std::ostream& out) const {
    const StreamCounts& counts = tracker_.counts();
    out << "record: " << rows_ << " rows written to " << options_.out_path << " in "
        << Fixed(SecondsBetween(start_, Clock::now())) << " s; " << counts.duplicates
        << " duplicates skipped, " << counts.malformed << " malformed, " << counts.no_data
        << " no-data datagrams; " << gaps_ << " gaps over " << Fixed(Seconds(kGap), "%.2f") << " s";
    if (gaps_ > 0) out << " (longest " << Fixed(longest_gap_s_, "%.2f") << " s)";
    if (takeovers_ > 0) {
      out << "; another peer took the bridge " << takeovers_ << " time(s)";
    }
    if (commands_sent_ > 0) out << "; " << commands_sent_ << " command(s) sent";
    out << std::endl;
  }

 private:
  static double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

  bool ReceiveSome() {
    std::string datagram;
    int wait_ms = kWaitSliceMs;
    for (int i = 0; i < kMaxDrain; ++i, wait_ms = 0) {
      Clock::time_point arrived;
      const ReceiveStatus status = socket_.Receive(datagram, wait_ms, &arrived);
      if (status == ReceiveStatus::kError) {
        err_ << "skyhelm-peer: receiving from " << common_.bridge_text << " failed\n";
        return false;
      }
      if (status == ReceiveStatus::kNothing) return true;
      // The tracker (silence, claims) goes by when this process heard from the bridge; holes and
      // takeovers by when datagrams reached the socket, so that a late read is neither.
      if (last_arrival_) NoteArrivalAfter(*last_arrival_, arrived);
      last_arrival_ = arrived;
      if (tracker_.Feed(datagram, Clock::now()) == Arrival::kNewLine && !WriteRow(arrived)) {
        return false;
      }
    }
    return true;
  }

  // Counts a hole in the stream, and a stream won back by claiming the bridge again.
  void NoteArrivalAfter(Clock::time_point previous, Clock::time_point now) {
    if (now - previous > kGap) {
      ++gaps_;
      longest_gap_s_ = std::max(longest_gap_s_, SecondsBetween(previous, now));
      Warn("gap: no datagram for " + Fixed(SecondsBetween(previous, now), "%.2f") + " s at " +
           Fixed(SecondsBetween(start_, previous)) + " s of the recording");
    }
    // A bridge answers a claim within a pass or two; lines that resume on their own, later, were
    // a pause of the bridge (or of this machine), not another peer.
    if (witness_.Arrived(now)) {
      if (++takeovers_ == 1) {
        Warn(
            "another peer took the bridge (or it restarted): lines came back only when record "
            "claimed it again; run one peer at a time (record --commands sends for you)");
      }
    }
  }

  // Sends every complete line that standard input holds, after the same check as `send`.
  void ReadCommands() {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    if (poll(&input, 1, 0) <= 0) return;
    char bytes[512];
    const ssize_t n = read(STDIN_FILENO, bytes, sizeof bytes);
    if (n <= 0) {
      reading_commands_ = false;  // end of input: go on recording
      return;
    }
    pending_input_.append(bytes, static_cast<std::size_t>(n));
    for (std::size_t end; (end = pending_input_.find('\n')) != std::string::npos;) {
      std::string command = pending_input_.substr(0, end);
      pending_input_.erase(0, end + 1);
      if (!command.empty() && command.back() == '\r') command.pop_back();
      if (command.empty()) continue;
      const tools::CommandCheck check = tools::CheckCommand(command.data(), command.size());
      const std::string at = Fixed(SecondsBetween(start_, Clock::now())) + " s: ";
      if (!check.ok) {
        Warn(at + "refused " + command + " -> " + check.explanation + ": " + check.problem);
      } else if (socket_.Send(command)) {
        ++commands_sent_;
        Warn(at + "sent " + command + " -> " + check.explanation);
      } else {
        Warn(at + "could not send " + command);
      }
    }
  }

  bool WriteRow(Clock::time_point received) {
    if (!file_open_ && !OpenFile()) return false;
    *out_ << CsvRow(SecondsBetween(start_, received), *tracker_.latest()) << '\n';
    ++rows_;
    return true;
  }

  bool OpenFile() {
    if (options_.out_path == "-") {
      out_ = &std::cout;
    } else {
      file_.open(options_.out_path, std::ios::out | std::ios::trunc);
      if (!file_) {
        err_ << "skyhelm-peer: cannot write " << options_.out_path << ": " << std::strerror(errno)
             << "\n";
        return false;
      }
      out_ = &file_;
    }
    *out_ << CsvHeader() << '\n';
    file_open_ = true;
    return true;
  }

  bool Finish() {
    if (!file_open_) {
      err_ << "skyhelm-peer: "
           << NoLineMessage(common_.bridge_text, SecondsBetween(start_, Clock::now()), tracker_)
           << "\n";
      return false;
    }
    out_->flush();
    if (out_ == &file_) file_.close();
    if (!*out_ || (out_ == &file_ && file_.fail())) {
      err_ << "skyhelm-peer: writing " << options_.out_path << " failed\n";
      return false;
    }
    return true;
  }

  void Warn(const std::string& message) {
    if (!message.empty()) err_ << "skyhelm-peer: " << message << std::endl;
  }

  const CommonOptions& common_;
  const RecordOptions& options_;
  PeerSocket& socket_;
  std::ostream& err_;
  LineTracker tracker_;
  PeerClaim claim_;
  StallMonitor stalls_;
  std::ofstream file_;
  std::ostream* out_ = &file_;
  bool file_open_ = false;
  std::uint64_t rows_ = 0;
  std::uint64_t gaps_ = 0;
  double longest_gap_s_ = 0;
  TakeoverWitness witness_{kClaimAnswered};
  std::optional<Clock::time_point> last_arrival_;  // when the newest datagram reached the socket
  std::uint64_t takeovers_ = 0;
  bool reading_commands_;
  std::string pending_input_;
  std::uint64_t commands_sent_ = 0;
  Clock::time_point start_{};
};

}  // namespace

int RunRecord(const CommonOptions& common, const RecordOptions& options, std::ostream& out,
              std::ostream& err) {
  std::optional<PeerSocket> socket = OpenPeerSocket(common.bridge, err);
  if (!socket) return kExitNoLine;
  Recording recording(common, options, *socket, err);
  const bool ok = recording.Run();
  if (recording.has_file()) recording.PrintSummary(options.out_path == "-" ? err : out);
  // Stopped by a signal: the recording is kept and summed up, and the exit code says so, as for
  // every subcommand (130 after Ctrl-C).
  if (StopRequested()) return 128 + StopSignal();
  return ok ? kExitOk : kExitNoLine;
}

}  // namespace skyhelm::peer
