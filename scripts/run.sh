#!/usr/bin/env bash
# Builds kelpfall as the calling user (scripts/build.sh) and runs only the
# binary as root, through sudo: kelpfall opens the chosen disk for writing.
# Usage: scripts/run.sh [ARGS...]   (run as yourself, not through sudo)
# kelpfall erases the disk you choose: read README.md first.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=$("$top/scripts/build.sh")
[ "$(id -u)" -ne 0 ] || exec "$bin" "$@"
if ! command -v sudo >/dev/null; then
  echo "run.sh: no sudo here; run $bin as root" >&2
  exit 1
fi
exec sudo "$bin" "$@"
