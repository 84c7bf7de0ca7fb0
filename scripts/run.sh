#!/usr/bin/env bash
# Builds kelpfall as the calling user (scripts/build.sh) and runs only the
# binary as root, through sudo: kelpfall opens the chosen disk for writing.
# Usage: scripts/run.sh [ARGS...]   (run as yourself, not through sudo)
# kelpfall erases the disk you choose: read README.md first.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
bin=$("$top/scripts/build.sh")
[ "$(id -u)" -ne 0 ] || exec "$bin" "$@"
exec sudo "$bin" "$@"
