#!/usr/bin/env bash
# Lays out a directory the way the build expects a SimConnect SDK (include/SimConnect.h,
# lib/SimConnect.lib), filled with our own header and an import library generated from
# SimConnect.def, so that -DSKYHELM_SIMCONNECT_SDK=DIR can be built and checked without the SDK.
# Usage: make_sdk_layout.sh OUT_DIR
set -euo pipefail
out=${1:?usage: make_sdk_layout.sh OUT_DIR}
here=$(cd "$(dirname "$0")" && pwd)
dlltool=${DLLTOOL:-i686-w64-mingw32-dlltool}
mkdir -p "$out/include" "$out/lib"
cp "$here/../include/SimConnect.h" "$out/include/SimConnect.h"
# -k: the import entries name the undecorated exports (SimConnect_Open) while the library's
# symbols keep the __stdcall decoration that the compiler emits (_SimConnect_Open@24).
"$dlltool" -m i386 -k -d "$here/SimConnect.def" -D SimConnect.dll -l "$out/lib/SimConnect.lib"
