#!/usr/bin/env bash
# Installs the named Debian packages that are not installed yet.
# Usage: scripts/ensure-packages.sh pkg...
set -euo pipefail
missing=()
for pkg in "$@"; do
  if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$pkg")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
stamp=/tmp/.stbflash-apt-updated
if [ ! -e "$stamp" ]; then
  $sudo apt-get update -qq
  touch "$stamp"
fi
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
