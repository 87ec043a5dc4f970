// Stop requests from outside: signal handlers on POSIX, the console control handler on Windows.
#include "app/stop_signal.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <signal.h>
#endif

namespace skyhelm {
namespace {

// Lock-free atomics are the only objects a signal handler may touch.
std::atomic<std::atomic<std::int32_t>*> StopFlagTarget{nullptr};
std::atomic<bool> StopWasRequested{false};
static_assert(std::atomic<std::int32_t>::is_always_lock_free);
static_assert(std::atomic<std::atomic<std::int32_t>*>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

void RequestStop() {
  StopWasRequested.store(true);
  std::atomic<std::int32_t>* flag = StopFlagTarget.load();
  if (flag != nullptr) flag->store(1);
}

#if defined(_WIN32)

// Manual-reset, set by ReportStopped; created before the handler is installed.
HANDLE StoppedEvent = nullptr;

// Runs on a thread the system creates for it, so the flag must be atomic here too.
BOOL WINAPI HandleConsoleControl(DWORD control_type) {
  switch (control_type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      RequestStop();
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The system ends the process once this returns (or after about 5 s): hold it until the
      // main thread has closed the socket and the connection. kernel32 holds its handler-list
      // lock meanwhile, which the clean-up and the exit after it never take, so the wait cannot
      // deadlock. After the report, whichever thread ends the process, the clean-up has run.
      RequestStop();
      if (StoppedEvent != nullptr) WaitForSingleObject(StoppedEvent, kCloseWaitMs);
      return TRUE;
    default:
      return FALSE;
  }
}

#else

void HandleStopSignal(int /*signal_number*/) { RequestStop(); }

#endif

}  // namespace

void InstallStopSignal(std::atomic<std::int32_t>& stop_flag) {
  StopFlagTarget.store(&stop_flag);
#if defined(_WIN32)
  // Without the event a console close still stops the loop, it just does not wait for it.
  StoppedEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(&HandleConsoleControl, TRUE);
#else
  struct sigaction action {};
  action.sa_handler = &HandleStopSignal;
  sigemptyset(&action.sa_mask);
  // No SA_RESTART: a blocking call (a write to a standard output nobody reads) must not resume
  // after the handler and hold the stop back.
  action.sa_flags = 0;
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  // A reader of standard error (or output) that goes away must not end the bridge: the write then
  // fails with EPIPE instead, and a debugger text is dropped, as on Windows, where no console
  // reader can end the process.
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
#endif
}

bool StopRequested() { return StopWasRequested.load(); }

void ReportStopped() {
#if defined(_WIN32)
  if (StoppedEvent != nullptr) SetEvent(StoppedEvent);
#endif
}

}  // namespace skyhelm
