#!/usr/bin/env bash
# Installs the Debian packages in scripts/packages.txt that are missing (as root, non-interactive),
# then the test suites' npm modules (scripts/install-node-modules.sh).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
mapfile -t wanted < <(grep -vE '^\s*(#|$)' "$here/packages.txt")
missing=()
for p in "${wanted[@]}"; do
  # Node from elsewhere (e.g. a vendor's nodejs package, which brings its own npm) serves as well;
  # Debian's npm would conflict with it.
  if [[ "$p" == nodejs || "$p" == npm ]] && command -v node >/dev/null && command -v npm >/dev/null
  then
    continue
  fi
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  export DEBIAN_FRONTEND=noninteractive
  $sudo apt-get update -qq
  $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
# The test suites' npm modules, so that ctest itself never needs the network.
bash "$here/install-node-modules.sh"
