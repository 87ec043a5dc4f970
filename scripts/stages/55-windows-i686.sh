#!/usr/bin/env bash
# The 32-bit Windows product itself: runs the windows-i686 build's skyhelm.exe under Debian's
# wine32 against the Linux stand-in simulator (loopback only). This kind of machine's kernel runs
# no 32-bit code, so qemu-user runs Wine's i386 loader (scripts/lib/windows-run.sh). Installs what
# it needs (root, no stdin).
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/windows-run.sh
started=$(date +%s)

fail() {
  echo "windows-i686: $*" >&2
  exit 1
}

# --- Builds ---------------------------------------------------------------------------------------
cmake --preset windows-i686 -DSKYHELM_WERROR=ON >/dev/null
cmake --build --preset windows-i686 --target skyhelm console_control_check -j "$(nproc)"
build_linux_reference

# --- The prefix, wine32:i386 and qemu-user ----------------------------------------------------
setup_emulated_wine32
echo "prefix ready after $(($(date +%s) - started)) s"

# --- The 32-bit programs --------------------------------------------------------------------------
wine=("${wine32[@]}")
start=$(date +%s)
# The 32-bit console control handler, through kernel32's own dispatch (Ctrl+C and closing).
timeout -k 10 120 "${wine[@]}" build-windows-i686/tests/console_control_check.exe </dev/null 2>/dev/null |
  tr -d '\r'
# qemu-user cannot deliver a host SIGINT into 32-bit Wine safely: Ctrl+C of the bridge itself is
# tried by stage 50 under wine64, and here only through the handler above.
timeout -k 10 600 python3 tests/windows/wine_e2e.py --wine "${wine[*]}" --no-sigint \
  --exe build-windows-i686/bin/skyhelm.exe --sim "$linux_build/bin/skyhelm-sim" \
  --linux-bridge "$linux_build/bin/skyhelm"
echo "emulated runs: $(($(date +%s) - start)) s; stage: $(($(date +%s) - started)) s"
