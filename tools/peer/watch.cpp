// The two faces of `watch`: the live terminal view and the once-a-second printout.
#include "tools/peer/watch.h"

#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <ostream>

#include "tools/common/command_check.h"
#include "tools/peer/line_editor.h"
#include "tools/peer/line_format.h"
#include "tools/peer/one_shot.h"
#include "tools/peer/peer_claim.h"
#include "tools/peer/stall_monitor.h"
#include "tools/peer/stop_signal.h"
#include "tools/peer/terminal.h"
#include "tools/peer/watch_screen.h"

namespace skyhelm::peer {
namespace {

constexpr auto kFrameInterval = std::chrono::milliseconds(50);  // at most 20 redraws a second
constexpr auto kPrintInterval = std::chrono::seconds(1);
constexpr int kMaxDrain = 4096;

Clock::duration FromSeconds(double seconds) {
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// What both faces share: the socket, the stream's state, and the rules for ending.
class WatchSession {
 public:
  WatchSession(const CommonOptions& common, const WatchOptions& options, PeerSocket& socket)
      : common_(common), options_(options), socket_(socket), stalls_(FromSeconds(1.0)) {}

  // False once the view should end: a stop signal or the time limit.
  bool KeepGoing(Clock::time_point now) const {
    return !StopRequested() &&
           !(options_.seconds > 0 && now - start_ >= FromSeconds(options_.seconds));
  }
  // True when no valid line has come within the timeout.
  bool GaveUp(Clock::time_point now) const {
    return !tracker_.latest() && now - start_ >= FromSeconds(common_.timeout_s);
  }
  void Drain() {
    std::string datagram;
    for (int i = 0; i < kMaxDrain; ++i) {
      if (socket_.Receive(datagram, 0) != ReceiveStatus::kDatagram) return;
      tracker_.Feed(datagram, Clock::now());
    }
  }
  std::string Tick(Clock::time_point now) {
    claim_.Tick(socket_, tracker_, now);
    tracker_.UpdateRates(now);
    return stalls_.Check(tracker_, now);
  }
  std::string FailureMessage() const {
    return NoLineMessage(common_.bridge_text, common_.timeout_s, tracker_);
  }

  PeerSocket& socket() { return socket_; }
  const LineTracker& tracker() const { return tracker_; }
  bool silent() const { return stalls_.silent(); }

 private:
  const CommonOptions& common_;
  const WatchOptions& options_;
  PeerSocket& socket_;
  LineTracker tracker_;
  PeerClaim claim_;
  StallMonitor stalls_;
  Clock::time_point start_ = Clock::now();
};

// Waits up to wait_ms for the socket (and standard input when `with_input`); true if stdin has
// bytes.
bool WaitForActivity(int socket_fd, bool with_input, int wait_ms) {
  pollfd fds[2] = {{socket_fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  const int count = poll(fds, with_input ? 2 : 1, wait_ms);
  return count > 0 && with_input && (fds[1].revents & (POLLIN | POLLHUP)) != 0;
}

int RunPlain(WatchSession& session, const WatchOptions& options, std::ostream& out,
             std::ostream& err) {
  Clock::time_point next_print{};
  for (Clock::time_point now = Clock::now(); session.KeepGoing(now); now = Clock::now()) {
    if (session.GaveUp(now)) {
      err << "skyhelm-peer: " << session.FailureMessage() << "\n";
      return kExitNoLine;
    }
    const std::string warning = session.Tick(now);
    if (!warning.empty()) err << "skyhelm-peer: " << warning << std::endl;
    const auto& latest = session.tracker().latest();
    if (latest && !session.silent() && now >= next_print) {
      out << (options.json ? FormatJson(*latest) : FormatPairs(*latest)) << std::endl;
      next_print = now + kPrintInterval;
    }
    WaitForActivity(session.socket().fd(), false, 100);
    session.Drain();
  }
  return kExitOk;
}

// Checks a typed command like `send` does, sends it unless refused, and says what happened.
std::string SendTyped(WatchSession& session, const std::string& command, bool raw) {
  const tools::CommandCheck check = tools::CheckCommand(command.data(), command.size());
  const std::string what = command + " -> " + check.explanation;
  if (!check.ok && !raw) {
    return "refused " + what + ": " + check.problem + " (watch --raw sends such texts anyway)";
  }
  if (!session.socket().Send(command)) return "could not send " + command;
  return "sent " + what + (check.ok ? "" : " (--raw: " + check.problem + ")");
}

// Reads what standard input holds; false when the editor asked to quit (or input ended).
bool HandleKeys(WatchSession& session, LineEditor& editor, WatchView& view, bool raw) {
  char bytes[64];
  const ssize_t n = read(STDIN_FILENO, bytes, sizeof bytes);
  if (n == 0) return false;
  for (ssize_t i = 0; i < n; ++i) {
    const EditorAction action = editor.Feed(bytes[i]);
    if (action == EditorAction::kQuit) return false;
    if (action != EditorAction::kSubmit) continue;
    const std::string command = editor.TakeSubmitted();
    if (command.empty()) continue;
    view.status = SendTyped(session, command, raw);
  }
  return true;
}

int RunTerminal(WatchSession& session, const std::string& bridge_text, bool raw,
                std::ostream& err) {
  RawTerminal terminal;
  if (!terminal.Enter()) return -1;
  LineEditor editor;
  WatchView view;
  view.bridge_text = bridge_text;
  view.tracker = &session.tracker();
  Clock::time_point last_frame{};
  for (Clock::time_point now = Clock::now(); session.KeepGoing(now); now = Clock::now()) {
    if (session.GaveUp(now)) {
      terminal.Restore();
      err << "skyhelm-peer: " << session.FailureMessage() << "\n";
      return kExitNoLine;
    }
    const std::string warning = session.Tick(now);
    if (!warning.empty()) view.status = warning;
    if (now - last_frame >= kFrameInterval) {
      view.now = now;
      view.silent = session.silent();
      view.input = editor.text();
      winsize size{};
      if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
        view.columns = size.ws_col;
        view.rows = size.ws_row;
      }
      RawTerminal::Write(RenderWatchScreen(view));
      last_frame = now;
    }
    const bool keys = WaitForActivity(session.socket().fd(), true, 20);
    if (keys && !HandleKeys(session, editor, view, raw)) break;
    session.Drain();
  }
  return kExitOk;
}

}  // namespace

int RunWatch(const CommonOptions& common, const WatchOptions& options, std::ostream& out,
             std::ostream& err) {
  std::optional<PeerSocket> socket = OpenPeerSocket(common.bridge, err);
  if (!socket) return kExitNoLine;
  WatchSession session(common, options, *socket);
  const bool terminal = !options.force_plain && isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
  if (terminal) {
    const int code = RunTerminal(session, common.bridge_text, options.raw, err);
    if (code >= 0) return code;
  }
  return RunPlain(session, options, out, err);
}

}  // namespace skyhelm::peer
