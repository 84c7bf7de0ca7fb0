#!/usr/bin/env bash
# Installs what building and testing kelpfall needs, when it is missing, with
# apt-get (through sudo when not root).
# Usage: scripts/deps.sh [EXTRA-DEBIAN-PACKAGE...]
# The name "fuzzer" stands for clang and the fuzzer runtime of its version,
# libclang-rt-N-dev.
set -euo pipefail
sudo=()
[ "$(id -u)" -eq 0 ] || sudo=(sudo)

# install PACKAGE...: installs those of PACKAGE... that are not installed.
install() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "installing: ${missing[*]}"
  # Others may be installing at the same moment: wait for dpkg's lock.
  "${sudo[@]}" apt-get -o DPkg::Lock::Timeout=600 update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}"
}

want=(g++ cmake make pkg-config libgtest-dev libfuse3-dev util-linux e2fsprogs)
for p in "$@"; do
  [ "$p" != fuzzer ] || p=clang
  want+=("$p")
done
install "${want[@]}"
if [[ " $* " == *" fuzzer "* ]]; then
  install "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"
fi
