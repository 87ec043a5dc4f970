// Test support: start a real program as a child process, talk to it, and always clean it up.
#pragma once

#include <netinet/in.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace skyhelm::test_support {

using std::chrono::milliseconds;

// Where a child's standard error goes.
enum class StderrMode {
  kCaptured,    // a pipe of its own, drained like standard output (Stderr())
  kNeverRead,   // a pipe that is held open and never read: once full, every write would wait
  kIntoStdout,  // the standard output pipe, as after 2>&1 (both show in Stdout())
  kDiscarded,   // /dev/null
  kReaderGone,  // a pipe whose reading end is closed at once: every write fails (and SIGPIPEs)
  kAllClosed,   // standard input, output and error all closed, as some service managers start it
};

// A running child whose standard output and error pipes are drained by every waiting call, so a
// chatty child never blocks on a full pipe (except kNeverRead's, on purpose). The destructor kills
// (SIGKILL) and reaps a child that is still running.
class ChildProcess {
 public:
  // Starts `program` with `args` (argv[1...]); `env` entries "NAME=VALUE" are added to (or replace
  // in) this process's environment. Standard input is /dev/null.
  static std::unique_ptr<ChildProcess> Start(const std::string& program,
                                             const std::vector<std::string>& args,
                                             const std::vector<std::string>& env = {},
                                             StderrMode stderr_mode = StderrMode::kCaptured);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  pid_t pid() const { return pid_; }
  // Bytes waiting in the never-read standard error pipe (kNeverRead), -1 otherwise.
  int UnreadStderrBytes() const;

  void Pump() { PumpFor(milliseconds(0)); }  // reads what has arrived so far without waiting
  // Waits until the captured standard output (error) contains `text`; false on timeout or exit.
  bool WaitForStdout(const std::string& text, milliseconds timeout) {
    return WaitUntil([&] { return out_.find(text) != std::string::npos; }, timeout);
  }
  bool WaitForStderr(const std::string& text, milliseconds timeout) {
    return WaitUntil([&] { return err_.find(text) != std::string::npos; }, timeout);
  }
  // The port of the first whole line of standard output that holds `prefix` and after it
  // "HOST:PORT" (the number after the first ':' past the prefix); 0 when no such line came within
  // `timeout`.
  int WaitForPort(const std::string& prefix, milliseconds timeout);
  const std::string& Stdout() const { return out_; }
  const std::string& Stderr() const { return err_; }

  void Signal(int signal_number);
  // Waits for the child to end, draining its pipes; its exit status (128 + signal when killed by
  // one), or nullopt when it is still running at the timeout.
  std::optional<int> Wait(milliseconds timeout);
  bool Running();

 private:
  ChildProcess() = default;
  bool PumpFor(milliseconds timeout);  // one poll round; false once both pipes are closed
  // Pumps until `done` holds; false at the timeout or once both pipes have closed.
  bool WaitUntil(const std::function<bool()>& done, milliseconds timeout);
  bool Reap(bool block);

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  int unread_err_fd_ = -1;
  std::optional<int> status_;
  std::string out_;
  std::string err_;
};

// Runs a program to completion within `timeout`; exit_code is nullopt when it timed out (killed).
struct RunResult {
  std::optional<int> exit_code;
  std::string out, err;
};
RunResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                     const std::vector<std::string>& env = {},
                     milliseconds timeout = milliseconds(10000));

// The words joined by spaces, for a trace of a command line.
inline std::string Joined(const std::vector<std::string>& words) {
  std::string joined;
  for (const std::string& word : words) joined += (joined.empty() ? "" : " ") + word;
  return joined;
}

// A loopback port that was free a moment ago (bound to port 0 and released), for TCP or UDP.
int FreeLoopbackPort(bool udp);

// A close-on-exec socket of `type` (SOCK_DGRAM, SOCK_STREAM) bound to a free loopback port, its
// address (port included) in `address`; -1 when it cannot be had.
int BindOnLoopback(int type, sockaddr_in& address);

// A TCP socket listening on a free loopback port with this backlog, its address in `address`
// (port included); -1 when it cannot be had. It accepts nobody: the caller owns and closes it.
int ListenOnLoopback(int backlog, sockaddr_in& address);

// Directory of the built executables (build/bin), from the SKYHELM_BIN_DIR compile definition.
std::string BinPath(const std::string& program);

}  // namespace skyhelm::test_support
