#!/usr/bin/env bash
# Installs what building and testing kelpfall needs, when it is missing, with
# apt-get (through sudo when not root).
# Usage: scripts/deps.sh [EXTRA-DEBIAN-PACKAGE...]
set -euo pipefail
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)
missing=()
for p in g++ cmake make pkg-config libgtest-dev libfuse3-dev util-linux e2fsprogs "$@"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0
echo "installing: ${missing[*]}"
# Others may be installing at the same moment: wait for dpkg's lock.
"${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
"${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}"
