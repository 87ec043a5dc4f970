// Closing the console, as far as Wine lets it be tried: the system runs kernel32's CtrlRoutine on
// a new thread of the process for each console event; this runs it with CTRL_CLOSE_EVENT. The
// handler must stop the loop, then hold the close until the clean-up is reported, and no longer
// than kCloseWaitMs when it never is. Prints one line per check; exit status 0 when all hold.
#include <windows.h>

#include <atomic>
#include <initializer_list>
#include <cstdint>
#include <cstdio>

#include "app/stop_signal.h"

namespace {

std::atomic<std::int32_t> StopFlag{0};
int Failures = 0;

void Check(bool ok, const char* what, unsigned long elapsed_ms) {
  std::printf("%s %s (%lu ms)\n", ok ? "ok  " : "FAIL", what, elapsed_ms);
  if (!ok) ++Failures;
}

// The thread running the console's handlers for a close, started the way the system starts it.
HANDLE StartConsoleClose() {
  const FARPROC routine = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CtrlRoutine");
  if (routine == nullptr) return nullptr;
  auto start = reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void (*)()>(routine));
  return CreateThread(nullptr, 0, start, reinterpret_cast<void*>(std::uintptr_t{CTRL_CLOSE_EVENT}),
                      0, nullptr);
}

}  // namespace

int main() {
  skyhelm::InstallStopSignal(StopFlag);
  for (const bool report : {false, true}) {
    StopFlag.store(0);
    const DWORD started = GetTickCount();
    HANDLE close = StartConsoleClose();
    if (close == nullptr) {
      Check(false, "kernel32 runs a console close", 0);
      return 1;
    }
    while (StopFlag.load() == 0 && GetTickCount() - started < 5000) Sleep(1);
    Check(StopFlag.load() == 1, "a console close stops the loop", GetTickCount() - started);
    // The clean-up takes a while; the close must not end the process meanwhile.
    const bool held = WaitForSingleObject(close, 500) == WAIT_TIMEOUT;
    Check(held, "the close waits for the clean-up", GetTickCount() - started);
    if (report) {
      skyhelm::ReportStopped();
      const bool released = WaitForSingleObject(close, 2000) == WAIT_OBJECT_0;
      Check(released, "the report of the clean-up releases it", GetTickCount() - started);
    } else {
      const bool ended = WaitForSingleObject(close, skyhelm::kCloseWaitMs + 2000) == WAIT_OBJECT_0;
      const DWORD waited_ms = GetTickCount() - started;
      Check(ended && waited_ms + 100 >= skyhelm::kCloseWaitMs,
            "without a report the close goes on after kCloseWaitMs", waited_ms);
    }
    CloseHandle(close);
  }
  std::printf("console close: %s\n", Failures == 0 ? "all checks passed" : "FAILED");
  return Failures == 0 ? 0 : 1;
}
