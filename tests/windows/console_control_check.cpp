// The console control handler, as far as Wine lets it be tried: the system runs kernel32's
// CtrlRoutine on a new thread of the process for each console event; this runs it the same way.
// A console close stops the loop, then holds the close until the clean-up is reported, and no
// longer than kCloseWaitMs when it never is (Ctrl+C: wine_e2e.py). Prints one line per check; exit
// status 0 when all hold.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>

#include "app/stop_signal.h"

namespace {

std::atomic<std::int32_t> StopFlag{0};
int Failures = 0;

void Check(bool ok, const char* what, DWORD elapsed_ms) {
  std::printf("%s %s (%lu ms)\n", ok ? "ok  " : "FAIL", what,
              static_cast<unsigned long>(elapsed_ms));
  if (!ok) ++Failures;
}

// The thread running the console's handlers for `event`, started the way the system starts it.
HANDLE StartConsoleEvent(DWORD event) {
  const FARPROC routine = GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "CtrlRoutine");
  if (routine == nullptr) return nullptr;
  auto start = reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void (*)()>(routine));
  return CreateThread(nullptr, 0, start, reinterpret_cast<void*>(std::uintptr_t{event}), 0,
                      nullptr);
}

void TryClose(bool reported) {
  StopFlag.store(0);
  const DWORD started = GetTickCount();
  const auto elapsed = [&] { return GetTickCount() - started; };
  HANDLE handlers = StartConsoleEvent(CTRL_CLOSE_EVENT);
  if (handlers == nullptr) return Check(false, "kernel32 runs the console's handlers", 0);
  while (StopFlag.load() == 0 && elapsed() < 5000) Sleep(1);
  Check(StopFlag.load() == 1, "a close stops the loop", elapsed());
  // The clean-up takes a while; the close must not end the process meanwhile.
  Check(WaitForSingleObject(handlers, 500) == WAIT_TIMEOUT, "the close waits for the clean-up",
        elapsed());
  if (reported) skyhelm::ReportStopped();
  const bool released =
      WaitForSingleObject(handlers, reported ? 2000 : skyhelm::kCloseWaitMs) == WAIT_OBJECT_0;
  Check(released && (reported || elapsed() + 100 >= skyhelm::kCloseWaitMs),
        reported ? "the report of the clean-up releases it"
                 : "without a report the close goes on after kCloseWaitMs",
        elapsed());
  CloseHandle(handlers);
}

}  // namespace

int main() {
  skyhelm::InstallStopSignal(StopFlag);
  // The report can be made only once: the reported close comes last.
  TryClose(false);
  TryClose(true);
  std::printf("console control: %s\n", Failures == 0 ? "all checks passed" : "FAILED");
  return Failures == 0 ? 0 : 1;
}
