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
"$top/scripts/deps.sh" >&2
"${as_caller[@]}" cmake -S "$top" --preset "$preset" >/dev/null
"${as_caller[@]}" cmake --build "$top/build/$preset" -j2 >/dev/null
echo "$top/build/$preset/kelpfall"
