// The bridge's console scheme and status messages.
#include "app/console.h"

#include <cstdio>

#include "platform/debug_output/debug_output.h"

namespace skyhelm {
namespace {

bool SkipDebuggerCopy = false;

}  // namespace

void SetUpConsole() {
  SkipDebuggerCopy = DebugOutputSharesStandardOutput();
  // A terminal is line buffered already; a shared file or pipe would otherwise get standard
  // output's texts in one block at the flush, after debugger texts written later.
  if (SkipDebuggerCopy) std::setvbuf(stdout, nullptr, _IOLBF, BUFSIZ);
}

void WriteStatus(const char* text) {
  if (!SkipDebuggerCopy) WriteDebugOutput(text);
  std::fputs(text, stdout);
}

}  // namespace skyhelm
