// `record`: the distinct lines of a flight as CSV, with warnings when the stream stalls.
#include "tools/peer/record.h"

#include <cstdio>
#include <fstream>
#include <ostream>

#include "tools/peer/line_format.h"
#include "tools/peer/one_shot.h"
#include "tools/peer/peer_claim.h"
#include "tools/peer/stall_monitor.h"
#include "tools/peer/stop_signal.h"

namespace skyhelm::peer {
namespace {

constexpr int kWaitSliceMs = 100;
// Bounds one drain of the socket so that the clock and the stop flag are looked at regularly.
constexpr int kMaxDrain = 4096;

double SecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

class Recording {
 public:
  Recording(const CommonOptions& common, const RecordOptions& options, PeerSocket& socket,
            std::ostream& err)
      : common_(common),
        options_(options),
        socket_(socket),
        err_(err),
        stalls_(std::chrono::duration_cast<Clock::duration>(
            std::chrono::duration<double>(common.timeout_s))) {}

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
      claim_.Tick(socket_, tracker_, now);
      if (file_open_) Warn(stalls_.Check(tracker_, now));
      if (!ReceiveSome()) return false;
    }
    return Finish();
  }

  bool has_file() const { return file_open_; }

  void PrintSummary(std::ostream& out) const {
    const StreamCounts& counts = tracker_.counts();
    char elapsed[32];
    std::snprintf(elapsed, sizeof elapsed, "%.1f", SecondsBetween(start_, Clock::now()));
    out << "record: " << rows_ << " rows written to " << options_.out_path << " in " << elapsed
        << " s; " << counts.duplicates << " duplicates skipped, " << counts.malformed
        << " malformed, " << counts.no_data << " no-data datagrams" << std::endl;
  }

 private:
  bool ReceiveSome() {
    std::string datagram;
    int wait_ms = kWaitSliceMs;
    for (int i = 0; i < kMaxDrain; ++i, wait_ms = 0) {
      const ReceiveStatus status = socket_.Receive(datagram, wait_ms);
      if (status == ReceiveStatus::kError) {
        err_ << "skyhelm-peer: receiving from " << common_.bridge_text << " failed\n";
        return false;
      }
      if (status == ReceiveStatus::kNothing) return true;
      const Clock::time_point now = Clock::now();
      if (tracker_.Feed(datagram, now) == Arrival::kNewLine && !WriteRow(now)) return false;
    }
    return true;
  }

  bool WriteRow(Clock::time_point received) {
    if (!file_open_ && !OpenFile()) return false;
    file_ << CsvRow(SecondsBetween(start_, received), *tracker_.latest()) << '\n';
    ++rows_;
    return true;
  }

  bool OpenFile() {
    file_.open(options_.out_path, std::ios::out | std::ios::trunc);
    if (!file_) {
      err_ << "skyhelm-peer: cannot write " << options_.out_path << "\n";
      return false;
    }
    file_ << CsvHeader() << '\n';
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
    file_.flush();
    file_.close();
    if (!file_) {
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
  bool file_open_ = false;
  std::uint64_t rows_ = 0;
  Clock::time_point start_{};
};

}  // namespace

int RunRecord(const CommonOptions& common, const RecordOptions& options, std::ostream& out,
              std::ostream& err) {
  std::optional<PeerSocket> socket = OpenPeerSocket(common.bridge, err);
  if (!socket) return kExitNoLine;
  Recording recording(common, options, *socket, err);
  const bool ok = recording.Run();
  if (recording.has_file()) recording.PrintSummary(out);
  return ok ? kExitOk : kExitNoLine;
}

}  // namespace skyhelm::peer
