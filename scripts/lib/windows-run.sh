# Shared by the stages that run Windows builds under Wine; sourced, not run.

# Builds the Linux stand-in simulator and bridge that a Windows bridge is compared with: the ci
# preset's build unless SKYHELM_LINUX_BUILD names another build folder. Sets linux_build.
build_linux_reference() {
  linux_build=${SKYHELM_LINUX_BUILD:-build}
  if [ -z "${SKYHELM_LINUX_BUILD:-}" ]; then
    cmake --preset ci >/dev/null
  else
    cmake -S . -B "$linux_build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKYHELM_WERROR=ON >/dev/null
  fi
  cmake --build "$linux_build" --target skyhelm skyhelm-sim -j "$(nproc)"
}

# The product against directories laid out like the two SDKs (our header, which like the SDK's
# includes nothing on Windows, and an import library generated from a module-definition file):
# the 32-bit one of the 2006-era simulator and the 64-bit one of the 2020/2024 simulators. Builds
# the targets given (default: skyhelm) with warnings as errors; sets sdk_build and sdk64_build.
build_sdk_layout_products() {
  local targets=("${@:-skyhelm}") build
  sdk_build=$(pwd)/build-windows-i686-sdk
  sdk64_build=$(pwd)/build-windows-x64-sdk
  bash platform/simconnect/windows/make_sdk_layout.sh "$sdk_build/sdk" x86
  bash platform/simconnect/windows/make_sdk_layout.sh "$sdk64_build/sdk" x64
  for build in "$sdk_build:i686" "$sdk64_build:x86_64"; do
    cmake -S . -B "${build%:*}" --toolchain "cmake/toolchains/mingw-w64-${build#*:}.cmake" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSKYHELM_WERROR=ON \
      -DSKYHELM_SIMCONNECT_SDK="${build%:*}/sdk" >/dev/null
    cmake --build "${build%:*}" --target "${targets[@]}" -j "$(nproc)"
  done
}

# A throw-away Wine prefix served by the wineserver at $1, which is ended and removed on exit.
# Silent, without a display, without the .NET and HTML installers.
use_throwaway_wine_prefix() {
  wine_prefix_server=$1
  export WINEPREFIX
  WINEPREFIX=$(mktemp -d)
  export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  export HOME=${HOME:-$WINEPREFIX}
  unset DISPLAY WAYLAND_DISPLAY
  trap '"$wine_prefix_server" -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX"' EXIT
}

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"; }

# The 32-bit Windows programs under Debian's wine32, with qemu-user running Wine's i386 loader:
# this kind of machine's kernel runs no 32-bit code. Installs wine32:i386 and qemu-user when
# missing (root, no stdin), makes a throw-away prefix (see use_throwaway_wine_prefix) and sets the
# array wine32 to the command that runs one program. Needs the caller's fail function.
setup_emulated_wine32() {
  if ! installed wine32:i386 || ! installed qemu-user; then
    local sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    export DEBIAN_FRONTEND=noninteractive
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
      $sudo dpkg --add-architecture i386 || fail "dpkg --add-architecture i386 failed"
    fi
    echo "installing wine32:i386 qemu-user"
    $sudo apt-get update -qq </dev/null || fail "apt-get update failed"
    # Some amd64 packages (libssl3, liblzma5, ...) are upgraded to the version of their i386 twins.
    $sudo apt-get install -y -qq --no-install-recommends wine32:i386 qemu-user \
      </dev/null >/dev/null || fail "installing wine32:i386 and qemu-user failed"
    installed wine32:i386 && installed qemu-user || fail "wine32:i386 or qemu-user did not install"
  fi
  local loader=/usr/lib/wine/wine               # wine32's i386 loader
  local i386_dlls=/usr/lib/i386-linux-gnu/wine/i386-windows  # wine32's 32-bit Windows DLLs
  wine64=/usr/lib/wine/wine64
  wineserver=/usr/lib/wine/wineserver64   # serves 32-bit and 64-bit clients alike
  local qemu file
  qemu=$(command -v qemu-i386) || fail "qemu-user installed no qemu-i386"
  for file in "$loader" "$wine64" "$wineserver"; do
    [ -x "$file" ] || fail "$file is missing (wine32:i386 and wine64 must be installed)"
  done
  [ -e "$i386_dlls/kernel32.dll" ] ||
    fail "$i386_dlls/kernel32.dll is missing (is wine32:i386 complete?)"

  use_throwaway_wine_prefix "$wineserver"
  # The loader must not re-execute itself through its preloader: qemu would run that as a fresh,
  # unemulated i386 program, which this kernel refuses.
  export WINELOADERNOEXEC=1
  # A persistent server spares every Wine start its own; the native wine64 builds the prefix,
  # which takes seconds.
  "$wineserver" -p
  timeout -k 10 300 "$wine64" wineboot -i </dev/null >/dev/null 2>&1 || fail "wineboot failed"
  # The 32-bit programs load their DLLs from syswow64. wineboot fills it only when the 32-bit DLLs
  # lie beside wine64's own (/usr/lib/x86_64-linux-gnu/wine/i386-windows), which on Debian holds
  # no more than libwine's zlib1.dll; whatever it left out is linked to wine32's own.
  local syswow64=$WINEPREFIX/drive_c/windows/syswow64 dll linked=0
  mkdir -p "$syswow64"
  for dll in "$i386_dlls"/*; do
    [ -e "$syswow64/${dll##*/}" ] && continue
    ln -s "$dll" "$syswow64/" || fail "cannot link $dll into syswow64"
    linked=$((linked + 1))
  done
  echo "32-bit Wine prefix ready ($linked DLLs linked into syswow64)"
  # -R: qemu reserves the guest's address space up front; without it Wine probes for memory for
  # about 45 s at every start.
  wine32=("$qemu" -R 0x81000000 "$loader")
}
