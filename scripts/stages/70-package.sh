#!/usr/bin/env bash
# The release: skyhelm_VERSION_amd64.deb from the Linux build, skyhelm-VERSION-win32.zip and
# -win64.zip from the SDK-layout builds (stage 50's, rebuilt here only where stale), and
# SHA256SUMS beside them in build/release. Then uses them as a user would: lintian on the package;
# dpkg -i, the tools' --version, the demo check and the sample SimConnect.cfg from the installed
# paths, dpkg -r (also when a check fails); each zip unpacked and its exe run under Wine against the
# Linux simulator (the 32-bit one emulated as stage 55 does), with a stand-in SimConnect.dll in
# place of the simulator's: beside the 64-bit exe, and as the side-by-side assembly that the 32-bit
# exe's manifest names. Loopback only. Installs what it needs (root, no stdin).
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
source scripts/lib/windows-run.sh
started=$(date +%s)

fail() {
  echo "package: $*" >&2
  exit 1
}

version=$(sed -n 's/^project(Skyhelm VERSION \([0-9.]*\) .*/\1/p' CMakeLists.txt)
[ -n "$version" ] || fail "no version in CMakeLists.txt"
deb=skyhelm_${version}_amd64.deb
zip32=skyhelm-$version-win32.zip
zip64=skyhelm-$version-win64.zip
release=$root/build/release

# --- Builds and packages --------------------------------------------------------------------------
cmake --preset ci >/dev/null
cmake --build --preset ci -j "$(nproc)" \
  --target skyhelm skyhelm-sim skyhelm-peer skyhelm-relay skyhelm_package_docs
build_sdk_layout_products skyhelm simconnect_standin_dll
rm -rf "$release" build/packages "$sdk_build/packages" "$sdk64_build/packages"
mkdir -p "$release"
(cd build && cpack -G DEB >/dev/null) || fail "cpack made no Debian package"
(cd "$sdk_build" && cpack -G ZIP >/dev/null) || fail "cpack made no 32-bit zip"
(cd "$sdk64_build" && cpack -G ZIP >/dev/null) || fail "cpack made no 64-bit zip"
cp "build/packages/$deb" "$sdk_build/packages/$zip32" "$sdk64_build/packages/$zip64" "$release/"
(cd "$release" && sha256sum "$deb" "$zip32" "$zip64" >SHA256SUMS &&
  sha256sum -c --quiet SHA256SUMS) || fail "SHA256SUMS does not check"
ls -l "$release" | tail -n +2

# --- The Debian package --------------------------------------------------------------------------
contents=$(dpkg-deb -c "$release/$deb" | awk '{print $6}')
for file in ./usr/bin/skyhelm ./usr/bin/skyhelm-sim ./usr/bin/skyhelm-peer ./usr/bin/skyhelm-relay \
  ./usr/share/man/man1/skyhelm.1.gz ./usr/share/man/man1/skyhelm-sim.1.gz \
  ./usr/share/man/man1/skyhelm-peer.1.gz ./usr/share/man/man1/skyhelm-relay.1.gz \
  ./usr/share/doc/skyhelm/copyright ./usr/share/doc/skyhelm/changelog.gz \
  ./lib/systemd/system/skyhelm.service ./lib/systemd/system/skyhelm-relay.service; do
  grep -qx "$file" <<<"$contents" || fail "$deb lacks $file"
done
# Tags at information level are answered in packaging/README.md; warnings and errors fail.
if ! tags=$(lintian --fail-on error,warning "$release/$deb" 2>&1); then
  echo "$tags" >&2
  fail "lintian finds fault with $deb"
fi
grep -v "^running with root" <<<"$tags" || true

dpkg -s skyhelm >/dev/null 2>&1 &&
  fail "skyhelm is already installed here; remove it first (dpkg -r skyhelm)"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
workdir=$(mktemp -d)
pids=()
cleanup() {
  local pid
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
  # Whatever state a failed dpkg -i left it in (unpacked, half-configured), dpkg -r removes it.
  if dpkg -s skyhelm >/dev/null 2>&1; then
    $sudo dpkg -r skyhelm >/dev/null || echo "package: dpkg -r skyhelm failed" >&2
  fi
  rm -rf "$workdir"
}
trap cleanup EXIT
$sudo dpkg -i "$release/$deb" >/dev/null || fail "dpkg -i $deb failed"
for tool in skyhelm-sim skyhelm-peer skyhelm-relay; do
  [ "$(/usr/bin/$tool --version)" = "$tool $version" ] ||
    fail "/usr/bin/$tool --version is not $version"
done
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify /lib/systemd/system/skyhelm.service \
    /lib/systemd/system/skyhelm-relay.service || fail "systemd-analyze finds fault with the units"
fi
timeout -k 10 180 bash scripts/demo.sh --check --bin-dir /usr/bin | tail -n 2

# The sample SimConnect.cfg, pointed at a simulator on this machine, read by the installed bridge
# from its working directory (as the unit runs it): the line shows the simulator's heading bug.
/usr/bin/skyhelm-sim --port 0 --freeze --set "AUTOPILOT HEADING LOCK DIR=123" >"$workdir/sim.log" &
pids+=($!)
for _ in $(seq 100); do
  sim_port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$workdir/sim.log")
  [ -n "$sim_port" ] && break
  sleep 0.1
done
[ -n "$sim_port" ] || fail "skyhelm-sim did not start"
sed -e 's/^Address=.*/Address=127.0.0.1/' -e "s/^Port=.*/Port=$sim_port/" \
  /usr/share/doc/skyhelm/examples/SimConnect.cfg >"$workdir/SimConnect.cfg"
bridge_port=$(python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
(cd "$workdir" && exec env -u SKYHELM_SIM_ADDRESS /usr/bin/skyhelm "$bridge_port" \
  >bridge.log 2>&1) &
pids+=($!)
line=$(/usr/bin/skyhelm-peer line --to "127.0.0.1:$bridge_port" --timeout 20 2>/dev/null || true)
grep -q "heading_bug=123" <<<"$line" ||
  fail "the installed bridge with the sample SimConnect.cfg shows no line from the simulator"
echo "installed package: versions, units, demo check and the sample SimConnect.cfg passed"
cleanup
trap - EXIT
dpkg -s skyhelm >/dev/null 2>&1 && fail "dpkg -r skyhelm left the package installed"

# --- The zips -------------------------------------------------------------------------------------
# check_zip ZIP 32|64 BUILD: the files a user gets, SimConnect.dll imported, the version resource;
# unpacks the zip with BUILD's stand-in SimConnect.dll beside the exe.
check_zip() {
  local zip=$1 dir=${1%.zip} bits=$2 build=$3 listing exe tool key
  listing=$(unzip -Z1 "$release/$zip")
  for file in skyhelm.exe README.txt LICENSE.txt CHANGELOG.txt sample/SimConnect.cfg; do
    grep -qx "$dir/$file" <<<"$listing" || fail "$zip lacks $dir/$file"
  done
  unzip -q "$release/$zip" -d "$unpacked"
  exe=$unpacked/$dir/skyhelm.exe
  if [ "$bits" = 32 ]; then tool=i686-w64-mingw32; else tool=x86_64-w64-mingw32; fi
  # (Whole outputs into variables: grep -q ending a pipe early would fail it under pipefail.)
  local headers
  headers=$("$tool-objdump" -p "$exe")
  grep -q "DLL Name: SimConnect.dll" <<<"$headers" ||
    fail "$zip: the exe does not import SimConnect.dll"
  # The version resource as resource script: FILEVERSION 0, 2, 0, 0 and the version strings.
  local resources
  resources=$("$tool-windres" -i "$exe" -O rc)
  grep -q "FILEVERSION ${version//./, }, 0" <<<"$resources" ||
    fail "$zip: the exe's FILEVERSION is not $version"
  for key in FileVersion ProductVersion; do
    grep -q "VALUE \"$key\", \"$version\"" <<<"$resources" ||
      fail "$zip: the exe's $key is not $version"
  done
  if [ "$bits" = 64 ]; then
    # The 2020/2024 simulators' SimConnect.dll goes beside the exe; here the stand-in one.
    cp "$build/bin/SimConnect.dll" "$unpacked/$dir/"
  else
    install_simconnect_assembly "$build/bin/SimConnect.dll"
  fi
}

# The 32-bit SimConnect.dll is found through the shared side-by-side assembly that the simulator
# installs and the exe's manifest names: the stand-in DLL is installed as that assembly in the
# prefix (where Wine looks: winsxs/manifests/ARCH_NAME_TOKEN_VERSION_none_HASH.manifest, and the
# files in the folder of that name), not beside the exe, so that the exe starts only if its
# manifest's name (with its trailing space), version, architecture and token match it.
install_simconnect_assembly() {
  local name="Microsoft.FlightSimulator.SimConnect " version=10.0.60905.0
  local token=67c7c14424d61b5b winsxs=$WINEPREFIX/drive_c/windows/winsxs
  local stem="x86_${name}_${token}_${version}_none_deadbeef"
  mkdir -p "$winsxs/manifests" "$winsxs/$stem"
  cp "$1" "$winsxs/$stem/"
  cat >"$winsxs/manifests/$stem.manifest" <<EOF_MANIFEST
<?xml version="1.0" encoding="UTF-8" standalone="yes"?>
<assembly xmlns="urn:schemas-microsoft-com:asm.v1" manifestVersion="1.0">
  <assemblyIdentity type="win32" name="$name" version="$version" processorArchitecture="x86"
                    publicKeyToken="$token"/>
  <file name="SimConnect.dll"/>
</assembly>
EOF_MANIFEST
}
unpacked=$(mktemp -d)
build_linux_reference
setup_emulated_wine32
# The prefix's clean-up trap, and the unpacked zips.
trap '"$wineserver" -k >/dev/null 2>&1 || true; rm -rf "$WINEPREFIX" "$unpacked"' EXIT
check_zip "$zip32" 32 "$sdk_build"
check_zip "$zip64" 64 "$sdk64_build"

start=$(date +%s)
timeout -k 10 600 python3 tests/windows/wine_e2e.py --wine "$wine64" \
  --exe "$unpacked/${zip64%.zip}/skyhelm.exe" --sim "$linux_build/bin/skyhelm-sim" \
  --linux-bridge "$linux_build/bin/skyhelm"
echo "64-bit zip under wine64: $(($(date +%s) - start)) s"
start=$(date +%s)
timeout -k 10 600 python3 tests/windows/wine_e2e.py --wine "${wine32[*]}" --no-sigint \
  --exe "$unpacked/${zip32%.zip}/skyhelm.exe" --sim "$linux_build/bin/skyhelm-sim" \
  --linux-bridge "$linux_build/bin/skyhelm"
echo "32-bit zip emulated: $(($(date +%s) - start)) s; stage: $(($(date +%s) - started)) s"
