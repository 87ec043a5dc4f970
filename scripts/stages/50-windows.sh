#!/usr/bin/env bash
# The Windows product: cross-builds both Windows presets (warnings as errors) and, for each, a build
# against an SDK-shaped directory whose header, like the SDK's, includes nothing from Windows (the
# 32-bit SDK of the 2006-era simulator, the 64-bit one of the 2020/2024 simulators); checks the
# products' includes, headers, imports and manifests, then runs the 64-bit build under wine64
# against the Linux stand-in simulator (loopback only). Stage 55 runs the 32-bit build itself.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
source scripts/lib/windows-run.sh

fail() {
  echo "windows: $*" >&2
  exit 1
}

# --- Cross builds ---------------------------------------------------------------------------------
for preset in windows-i686 windows-x64; do
  cmake --preset "$preset" -DSKYHELM_WERROR=ON >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
done

# The SDK's SimConnect.h includes nothing and expects <windows.h> before it; only
# sim/simconnect_api.h includes it, in that order, for every product file.
others=$(grep -rlE '^[[:space:]]*#[[:space:]]*include[[:space:]]*[<"]SimConnect\.h[>"]' app sim udp |
  grep -vx sim/simconnect_api.h || true)
[ -z "$others" ] || fail "include sim/simconnect_api.h instead of <SimConnect.h> in: $others"

# The products against directories laid out like the SDKs, to check the plumbing of
# -DSKYHELM_SIMCONNECT_SDK and that the product compiles against so strict a header. The package
# stage makes the zips from these two builds.
build_sdk_layout_products

# --- Headers, imports, manifest -------------------------------------------------------------------
product=build-windows-i686/bin/skyhelm.exe
product64=build-windows-x64/bin/skyhelm.exe

# tool_for EXE TOOL: the binutils program of the exe's own architecture.
tool_for() {
  case "$(x86_64-w64-mingw32-objdump -f "$1")" in
    *pei-x86-64*) echo "x86_64-w64-mingw32-$2" ;;
    *) echo "i686-w64-mingw32-$2" ;;
  esac
}
imports_of() {
  "$(tool_for "$1" objdump)" -p "$1" |
    sed -n 's/^[[:space:]]*DLL Name: //p' | sort -f
}

# check_product EXE 32|64 ALLOWED_DLLS
check_product() {
  local exe=$1 bits=$2 allowed=$3 format magic objdump
  if [ "$bits" = 32 ]; then
    format=pei-i386 magic=010b objdump=i686-w64-mingw32-objdump
  else
    format=pei-x86-64 magic=020b objdump=x86_64-w64-mingw32-objdump
  fi
  local headers
  headers=$("$objdump" -f "$exe"; "$objdump" -p "$exe")
  grep -q "file format $format" <<<"$headers" || fail "$exe is not $format"
  grep -q "^Magic[[:space:]]*$magic" <<<"$headers" || fail "$exe has not the $bits-bit PE magic"
  grep -q "Subsystem[[:space:]]*00000003[[:space:]]*(Windows CUI)" <<<"$headers" ||
    fail "$exe is not a console program"
  local dll
  for dll in $(imports_of "$exe"); do
    grep -qix "$dll" <<<"$allowed" || fail "$exe imports $dll (not a system DLL)"
  done
  if imports_of "$exe" | grep -Eiq "libstdc|libgcc|libwinpthread"; then
    fail "$exe needs a MinGW runtime DLL"
  fi
}

system_dlls=$'KERNEL32.dll\nmsvcrt.dll\nWS2_32.dll\nUSER32.dll\nADVAPI32.dll'
check_product "$product" 32 "$system_dlls"
check_product "$product64" 64 "$system_dlls"
for exe in "$sdk_build/bin/skyhelm.exe:32" "$sdk64_build/bin/skyhelm.exe:64"; do
  check_product "${exe%:*}" "${exe##*:}" "$system_dlls"$'\nSimConnect.dll'
  imports_of "${exe%:*}" | grep -qx "SimConnect.dll" ||
    fail "the SDK build ${exe%:*} does not import SimConnect.dll"
done

# The manifest is resource 1 of type 24 (RT_MANIFEST); windres prints it back as resource script,
# one string per line with quotes doubled.
manifest_of() {
  "$(tool_for "$1" windres)" -i "$1" -O rc | sed -n '/^1 24 /,/^END/p' |
    sed -n 's/^[[:space:]]*"\(.*\)"$/\1/p' | sed 's/""/"/g; s/\\n$//'
}
# The manifest's own architecture, then the assemblies it depends on, one line of sorted attributes
# each (also checks that the manifest is well-formed XML).
dependencies_of() {
  manifest_of "$1" | python3 -c '
import sys, xml.etree.ElementTree as tree
ns = {"a": "urn:schemas-microsoft-com:asm.v1"}
root = tree.fromstring(sys.stdin.read())
print(root.find("a:assemblyIdentity", ns).get("processorArchitecture"))
for identity in root.iterfind("a:dependency/a:dependentAssembly/a:assemblyIdentity", ns):
    print(sorted(identity.attrib.items()))'
}
for exe in "$product" "$product64"; do
  manifest_of "$exe" | grep -q 'level="asInvoker"' || fail "$exe carries no manifest"
done
[ "$(dependencies_of "$product")" = x86 ] ||
  fail "the stand-in build names a side-by-side assembly it does not use"
[ "$(dependencies_of "$product64")" = amd64 ] ||
  fail "the 64-bit stand-in build names a side-by-side assembly it does not use"
# The 2020/2024 simulators' SimConnect.dll is no assembly: the 64-bit manifest must name none (an
# x86 dependency there would stop Windows from starting the exe at all).
[ "$(dependencies_of "$sdk64_build/bin/skyhelm.exe")" = amd64 ] ||
  fail "the 64-bit SDK build's manifest names an assembly: $(dependencies_of "$sdk64_build/bin/skyhelm.exe")"
# The simulator's shared client assembly: the name ends in a space, and without its public key
# token Windows would look for it only beside the exe.
simconnect_assembly="x86
[('name', 'Microsoft.FlightSimulator.SimConnect '), ('processorArchitecture', \
'x86'), ('publicKeyToken', '67c7c14424d61b5b'), ('type', 'win32'), ('version', '10.0.60905.0')]"
sdk_dependencies=$(dependencies_of "$sdk_build/bin/skyhelm.exe")
[ "$sdk_dependencies" = "$simconnect_assembly" ] ||
  fail "the SDK build's manifest does not name the SimConnect assembly as installed: $sdk_dependencies"

echo "product: $(stat -c %s "$product") bytes, imports: $(imports_of "$product" | tr '\n' ' ')"

# --- Under wine64 -----------------------------------------------------------------------------------
build_linux_reference

# Debian's wine64 package puts its loader and server here, off PATH; the PATH wrappers come with
# the separate "wine" package, which is not needed.
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
[ -x "$wine" ] || wine=$(command -v wine64 || true)
[ -x "$wineserver" ] || wineserver=$(command -v wineserver || true)
[ -x "$wine" ] && [ -x "$wineserver" ] || fail "wine64 is not installed"
use_throwaway_wine_prefix "$wineserver"

# The first start builds the throw-away prefix. A persistent wineserver spares every later Wine
# start its own server start-up (several seconds each); the exit trap ends it.
start=$(date +%s)
"$wineserver" -p
timeout -k 10 300 "$wine" build-windows-x64/tests/socket_layer_check.exe </dev/null 2>/dev/null |
  tr -d '\r'
echo "first Wine start (prefix build + socket checks): $(($(date +%s) - start)) s"
timeout -k 10 120 "$wine" build-windows-x64/tests/console_control_check.exe </dev/null 2>/dev/null |
  tr -d '\r'

start=$(date +%s)
timeout -k 10 600 python3 tests/windows/wine_e2e.py --wine "$wine" \
  --exe build-windows-x64/bin/skyhelm.exe --sim "$linux_build/bin/skyhelm-sim" \
  --linux-bridge "$linux_build/bin/skyhelm"
echo "Wine bridge run: $(($(date +%s) - start)) s"
