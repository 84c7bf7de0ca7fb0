#!/usr/bin/env bash
# Installs what building and testing kelpfall needs, when it is missing.
# Usage: scripts/deps.sh [extra Debian packages...]; the name "fuzzer" stands
# for clang and the fuzzer runtime of its version, libclang-rt-N-dev.
set -euo pipefail
want=(g++ cmake make pkg-config libgtest-dev libfuse3-dev util-linux e2fsprogs)
fuzzer=false
for p in "$@"; do if [ "$p" = fuzzer ]; then fuzzer=true want+=(clang); else want+=("$p"); fi; done
install() {
  local missing=() p sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  # Others may be installing at the same moment: wait for dpkg's lock.
  $sudo apt-get -o DPkg::Lock::Timeout=600 update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get -o DPkg::Lock::Timeout=600 install -y -qq "${missing[@]}"
}
install "${want[@]}"
if $fuzzer; then install "libclang-rt-$(clang -dumpversion | cut -d. -f1)-dev"; fi
