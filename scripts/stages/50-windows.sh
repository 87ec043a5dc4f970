#!/usr/bin/env bash
# The Windows product: cross-builds both Windows presets (warnings as errors) and a build against
# an SDK-shaped directory, checks the 32-bit product's headers, imports and manifest, then runs
# the 64-bit build under wine64 against the Linux stand-in simulator (loopback only).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)

fail() {
  echo "windows: $*" >&2
  exit 1
}

# --- Cross builds ---------------------------------------------------------------------------------
for preset in windows-i686 windows-x64; do
  cmake --preset "$preset" -DSKYHELM_WERROR=ON >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
done

# The product against a directory laid out like the SDK (our header, an import library generated
# from a module-definition file), to check the plumbing of -DSKYHELM_SIMCONNECT_SDK.
sdk_build=$root/build-windows-i686-sdk
bash platform/simconnect/windows/make_sdk_layout.sh "$sdk_build/sdk"
cmake -S . -B "$sdk_build" --toolchain cmake/toolchains/mingw-w64-i686.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKYHELM_WERROR=ON \
  -DSKYHELM_SIMCONNECT_SDK="$sdk_build/sdk" >/dev/null
cmake --build "$sdk_build" --target skyhelm -j "$(nproc)"

# --- Headers, imports, manifest -------------------------------------------------------------------
objdump=i686-w64-mingw32-objdump
product=build-windows-i686/bin/skyhelm.exe

imports_of() { "$objdump" -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p' | sort -f; }

check_product() {
  local exe=$1 allowed=$2
  local headers
  headers=$("$objdump" -f "$exe"; "$objdump" -p "$exe")
  grep -q "file format pei-i386" <<<"$headers" || fail "$exe is not PE32 for i386"
  grep -q "^Magic[[:space:]]*010b" <<<"$headers" || fail "$exe is not PE32"
  grep -q "Subsystem[[:space:]]*00000003[[:space:]]*(Windows CUI)" <<<"$headers" ||
    fail "$exe is not a console program"
  local dll
  for dll in $(imports_of "$exe"); do
    grep -qix "$dll" <<<"$allowed" || fail "$exe imports $dll (not a system DLL)"
  done
}

system_dlls=$'KERNEL32.dll\nmsvcrt.dll\nWS2_32.dll\nUSER32.dll\nADVAPI32.dll'
check_product "$product" "$system_dlls"
check_product "$sdk_build/bin/skyhelm.exe" "$system_dlls"$'\nSimConnect.dll'
imports_of "$sdk_build/bin/skyhelm.exe" | grep -qx "SimConnect.dll" ||
  fail "the SDK build does not import SimConnect.dll"
for exe in "$product" "$sdk_build/bin/skyhelm.exe"; do
  if imports_of "$exe" | grep -Eiq "libstdc|libgcc|libwinpthread"; then
    fail "$exe needs a MinGW runtime DLL"
  fi
done

# The manifest is resource 1 of type 24 (RT_MANIFEST); windres prints it back as resource script.
manifest_of() { i686-w64-mingw32-windres -i "$1" -O rc | sed -n '/^1 24 /,/^END/p'; }
manifest_of "$product" | grep -q "asInvoker" || fail "the product carries no manifest"
if manifest_of "$product" | grep -q "FlightSimulator"; then
  fail "the stand-in build names the SimConnect assembly it does not use"
fi
manifest_of "$sdk_build/bin/skyhelm.exe" |
  grep -q 'name=""Microsoft.FlightSimulator.SimConnect ""' ||
  fail "the SDK build's manifest does not name the SimConnect assembly"
manifest_of "$sdk_build/bin/skyhelm.exe" | grep -q 'version=""10.0.60905.0"" processorArchitecture=""x86""' ||
  fail "the SDK build's manifest names the wrong assembly version or architecture"

echo "product: $(stat -c %s "$product") bytes, imports: $(imports_of "$product" | tr '\n' ' ')"

# --- Under wine64 -----------------------------------------------------------------------------------
# The Linux stand-in simulator and bridge that the Windows bridge is compared with: the ci
# preset's build unless SKYHELM_LINUX_BUILD names another build folder.
linux_build=${SKYHELM_LINUX_BUILD:-build}
if [ -z "${SKYHELM_LINUX_BUILD:-}" ]; then
  cmake --preset ci >/dev/null
else
  cmake -S . -B "$linux_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKYHELM_WERROR=ON >/dev/null
fi
cmake --build "$linux_build" --target skyhelm skyhelm-sim -j "$(nproc)"

# Debian's wine64 package puts its loader and server here, off PATH; the PATH wrappers come with
# the separate "wine" package, which is not needed.
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
[ -x "$wine" ] || wine=$(command -v wine64 || true)
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || true)
[ -x "$wine" ] && [ -x "$wineserver" ] || fail "wine64 is not installed"
export WINEPREFIX
WINEPREFIX=$(mktemp -d)
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
export HOME=${HOME:-$WINEPREFIX}
unset DISPLAY WAYLAND_DISPLAY
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$WINEPREFIX"
}
trap cleanup EXIT

# The first start builds the throw-away prefix. A persistent wineserver spares every later Wine
# start its own server start-up (several seconds each); cleanup ends it.
start=$(date +%s)
"$wineserver" -p
timeout -k 10 300 "$wine" build-windows-x64/tests/socket_layer_check.exe </dev/null 2>/dev/null |
  tr -d '\r'
echo "first Wine start (prefix build + socket checks): $(($(date +%s) - start)) s"

start=$(date +%s)
timeout -k 10 600 python3 tests/windows/wine_e2e.py --wine "$wine" \
  --exe build-windows-x64/bin/skyhelm.exe --sim "$linux_build/bin/skyhelm-sim" \
  --linux-bridge "$linux_build/bin/skyhelm"
echo "Wine bridge run: $(($(date +%s) - start)) s"
