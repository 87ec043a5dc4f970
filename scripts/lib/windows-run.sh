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
