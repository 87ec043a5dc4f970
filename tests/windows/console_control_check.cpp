// The console control handler, as far as Wine lets it be tried: the system runs kernel32's
// CtrlRoutine on a new thread of the process for each console event; this runs it the same way.
// Ctrl+C stops the loop and returns at once. A console close stops the loop, then holds the close
// until the clean-up is reported. Prints one line per check; exit status 0 when all hold.
#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <initializer_list>

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

}  // namespace

int main() {
  skyhelm::InstallStopSignal(StopFlag);
  for (const DWORD event : {CTRL_C_EVENT, CTRL_CLOSE_EVENT}) {
    const bool close = event == CTRL_CLOSE_EVENT;
    StopFlag.store(0);
    const DWORD started = GetTickCount();
    const auto elapsed = [&] { return GetTickCount() - started; };
    HANDLE handlers = StartConsoleEvent(event);  // null: every check below fails
    while (StopFlag.load() == 0 && elapsed() < 5000) Sleep(1);
    Check(StopFlag.load() == 1, close ? "a close stops the loop" : "Ctrl+C stops the loop",
          elapsed());
    // A close's clean-up takes a while: the close must not end the process meanwhile.
    Check(WaitForSingleObject(handlers, 500) == (close ? WAIT_TIMEOUT : WAIT_OBJECT_0),
          close ? "the close waits for the clean-up" : "Ctrl+C does not wait for the clean-up",
          elapsed());
    if (close) skyhelm::ReportStopped();
    Check(WaitForSingleObject(handlers, 2000) == WAIT_OBJECT_0, "the handlers return", elapsed());
    CloseHandle(handlers);
  }
  std::printf("console control: %s\n", Failures == 0 ? "all checks passed" : "FAILED");
  return Failures == 0 ? 0 : 1;
}
