#!/usr/bin/env bash
# The 32-bit Windows product itself: runs the windows-i686 build's skyhelm.exe under Debian's
# wine32 against the Linux stand-in simulator (loopback only). This kind of machine's kernel runs
# no 32-bit code, so qemu-user runs Wine's i386 loader. Installs what it needs (root, no stdin).
set -euo pipefail
cd "$(dirname "$0")/../.."
source scripts/lib/windows-run.sh
started=$(date +%s)

fail() {
  echo "windows-i686: $*" >&2
  exit 1
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# --- wine32:i386 and qemu-user --------------------------------------------------------------------
if ! installed wine32:i386 || ! installed qemu-user; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386 || fail "dpkg --add-architecture i386 failed"
  fi
  echo "installing wine32:i386 qemu-user"
  $sudo apt-get update -qq </dev/null || fail "apt-get update failed"
  # Some amd64 packages (libssl3, liblzma5, ...) are upgraded to the version of their i386 twins.
  $sudo apt-get install -y -qq --no-install-recommends wine32:i386 qemu-user </dev/null >/dev/null ||
    fail "installing wine32:i386 and qemu-user failed"
  installed wine32:i386 && installed qemu-user || fail "wine32:i386 or qemu-user did not install"
fi
loader=/usr/lib/wine/wine               # wine32's i386 loader
i386_dlls=/usr/lib/i386-linux-gnu/wine/i386-windows  # wine32's 32-bit Windows DLLs
wine64=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64   # serves 32-bit and 64-bit clients alike
qemu=$(command -v qemu-i386) || fail "qemu-user installed no qemu-i386"
for file in "$loader" "$wine64" "$wineserver"; do
  [ -x "$file" ] || fail "$file is missing (wine32:i386 and wine64 must be installed)"
done
[ -e "$i386_dlls/kernel32.dll" ] || fail "$i386_dlls/kernel32.dll is missing (is wine32:i386 complete?)"

# --- Builds ---------------------------------------------------------------------------------------
cmake --preset windows-i686 -DSKYHELM_WERROR=ON >/dev/null
cmake --build --preset windows-i686 --target skyhelm console_control_check -j "$(nproc)"
build_linux_reference

# --- The prefix -----------------------------------------------------------------------------------
use_throwaway_wine_prefix "$wineserver"
# The loader must not re-execute itself through its preloader: qemu would run that as a fresh,
# unemulated i386 program, which this kernel refuses.
export WINELOADERNOEXEC=1

# A persistent server spares every Wine start its own; the native wine64 builds the prefix, which
# takes seconds.
"$wineserver" -p
timeout -k 10 300 "$wine64" wineboot -i </dev/null >/dev/null 2>&1 || fail "wineboot failed"
# The 32-bit programs load their DLLs from syswow64. wineboot fills it only when the 32-bit DLLs
# lie beside wine64's own (/usr/lib/x86_64-linux-gnu/wine/i386-windows), which on Debian holds no
# more than libwine's zlib1.dll; whatever it left out is linked to wine32's own.
syswow64=$WINEPREFIX/drive_c/windows/syswow64
mkdir -p "$syswow64"
linked=0
for dll in "$i386_dlls"/*; do
  [ -e "$syswow64/${dll##*/}" ] && continue
  ln -s "$dll" "$syswow64/" || fail "cannot link $dll into syswow64"
  linked=$((linked + 1))
done
echo "prefix ready after $(($(date +%s) - started)) s ($linked DLLs linked into syswow64)"

# --- The 32-bit programs --------------------------------------------------------------------------
# -R: qemu reserves the guest's address space up front; without it Wine probes for memory for
# about 45 s at every start.
wine=("$qemu" -R 0x81000000 "$loader")
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
