#!/usr/bin/env bash
# Builds kelpfall as the calling user (scripts/build.sh) and runs only the
# binary as root, through sudo: kelpfall opens the chosen disk for writing.
# Usage: scripts/run.sh [ARGS...]   (run as yourself, not through sudo)
# kelpfall erases the disk you choose: read README.md first.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=$("$top/scripts/build.sh")
[ "$(id -u)" -eq 0 ] && exec "$bin" "$@"
command -v sudo >/dev/null || {
  echo "run.sh: no sudo here; run $bin as root" >&2
  exit 1
}
exec sudo "$bin" "$@"
