#!/usr/bin/env bash
# Builds kelpfall with a configuration of CMakePresets.json in build/PRESET,
# installing what the build needs when missing, and prints the path of the
# binary. Run through sudo, it builds as the user who called sudo
# (scripts/common.sh), so that build/ stays theirs.
# Usage: scripts/build.sh [PRESET]   (default: release)
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/common.sh
. "$top/scripts/common.sh"
preset=${1:-release}
# Up to 0.1.0 it took a build directory and CMake options.
if [ $# -gt 1 ] || [[ $preset == */* ]]; then
  die "takes one preset name now (cmake --list-presets), no directory or CMake options"
fi
dir=$top/build/$preset
"$top/scripts/deps.sh" >&2
if ! "${as_caller[@]}" cmake -S "$top" --preset "$preset" >/dev/null ||
  ! "${as_caller[@]}" cmake --build "$dir" -j2 >/dev/null; then
  owner=$(stat -c %U "$dir" 2>/dev/null || true)
  if [ -n "$owner" ] && [ "$owner" != "$("${as_caller[@]}" id -un)" ]; then
    die "$dir belongs to $owner (an earlier build as root?); remove it (sudo rm -rf $dir) and run again"
  fi
  exit 1
fi
echo "$dir/kelpfall"
