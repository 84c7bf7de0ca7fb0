#!/usr/bin/env bash
# Installs what building and testing kelpfall needs, when it is missing.
# Usage: scripts/deps.sh [extra Debian packages...]
set -euo pipefail
want=(g++ cmake make libgtest-dev util-linux "$@")
missing=()
for p in "${want[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "installing: ${missing[*]}"
# Others may be installing at the same moment: wait for dpkg's lock.
$sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}"
