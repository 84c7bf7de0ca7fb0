#!/usr/bin/env bash
# Builds kelpfall (installing what the build needs when missing) and prints
# the path of the binary. Run through sudo, it builds as the user who called
# sudo, so that build/ stays theirs: only installing packages uses root.
# Usage: scripts/build.sh [DIR CMAKE-OPTIONS...]   (default: build/release, Release)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir=${1:-$top/build/release}
opts=("${@:2}")
[ $# -gt 0 ] || opts=(-DCMAKE_BUILD_TYPE=Release -DKELPFALL_TESTS=OFF)
"$top/scripts/deps.sh" >&2
as=()
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ] &&
  runuser -u "$SUDO_USER" -- test -w "$top"; then
  as=(runuser -u "$SUDO_USER" --)
fi
if ! { "${as[@]}" cmake -S "$top" -B "$dir" "${opts[@]}" >/dev/null &&
  "${as[@]}" cmake --build "$dir" -j2 >/dev/null; }; then
  [ ! -e "$dir" ] || [ "$(stat -c %u "$dir")" = "$("${as[@]}" id -u)" ] ||
    echo "build.sh: $dir belongs to $(stat -c %U "$dir") (an earlier build as root?);" \
      "remove it (sudo rm -rf $dir) and run again" >&2
  exit 1
fi
echo "$dir/kelpfall"
