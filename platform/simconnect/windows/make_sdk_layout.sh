#!/usr/bin/env bash
# Lays out a directory the way the build expects a SimConnect SDK (include/SimConnect.h,
# lib/SimConnect.lib), filled with our own header and an import library generated from
# SimConnect.def, so that -DSKYHELM_SIMCONNECT_SDK=DIR can be built and checked without the SDK.
# Usage: make_sdk_layout.sh OUT_DIR [x86|x64]   (x86, the default: the 2006-era simulator's
#        32-bit SDK; x64: the 64-bit SDK of the 2020/2024 simulators)
set -euo pipefail
out=${1:?usage: make_sdk_layout.sh OUT_DIR [x86|x64]}
arch=${2:-x86}
here=$(cd "$(dirname "$0")" && pwd)
mkdir -p "$out/include" "$out/lib"
cp "$here/../include/SimConnect.h" "$out/include/SimConnect.h"
case "$arch" in
  x86)
    # -k: the import entries name the undecorated exports (SimConnect_Open) while the library's
    # symbols keep the __stdcall decoration that the compiler emits (_SimConnect_Open@24).
    "${DLLTOOL:-i686-w64-mingw32-dlltool}" -m i386 -k -d "$here/SimConnect.def" -D SimConnect.dll \
      -l "$out/lib/SimConnect.lib"
    ;;
  x64)
    # x64 has one calling convention and no decoration: the same exports without their @N.
    def=$(mktemp)
    trap 'rm -f "$def"' EXIT
    sed 's/@[0-9]*$//' "$here/SimConnect.def" >"$def"
    "${DLLTOOL:-x86_64-w64-mingw32-dlltool}" -m i386:x86-64 -d "$def" -D SimConnect.dll \
      -l "$out/lib/SimConnect.lib"
    ;;
  *)
    echo "make_sdk_layout.sh: the architecture is x86 or x64, not $arch" >&2
    exit 2
    ;;
esac
