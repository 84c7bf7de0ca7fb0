#!/usr/bin/env bash
# Builds kelpfall (installing what the build needs) and runs it with the
# given arguments. kelpfall erases the disk you choose: read README.md first.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh" >&2
cmake -S "$top" -B "$top/build/release" -DCMAKE_BUILD_TYPE=Release -DKELPFALL_TESTS=OFF >/dev/null
cmake --build "$top/build/release" -j"$(nproc)" >/dev/null
exec "$top/build/release/kelpfall" "$@"
