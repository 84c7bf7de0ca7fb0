#!/usr/bin/env bash
# Checks a manual page: groff reports no warning, and no line is wider than
# 80 columns when man renders it for an 80-column terminal (MANWIDTH=80).
# Usage: scripts/checkman.sh PAGE   Exit status 77 (skipped) without the tools.
set -uo pipefail
page=$1
if ! command -v man >/dev/null || ! command -v groff >/dev/null || ! command -v col >/dev/null; then
  echo "checkman.sh: man, groff or col missing (Debian: man-db, bsdextrautils)"
  exit 77
fi
status=0
warnings=$(groff -man -ww -z "$page" 2>&1)
if [ -n "$warnings" ]; then
  echo "groff warnings:"
  printf '%s\n' "$warnings"
  status=1
fi
# man -l renders the file named; col -b drops overstriking; awk counts the
# characters of each line (UTF-8 locale: characters, not bytes).
wide=$(MANWIDTH=80 LC_ALL=C.UTF-8 man --warnings -l "$page" 2>&1 |
  col -bx | awk 'length($0) > 80 { printf "%d columns: %s\n", length($0), $0 }')
if [ -n "$wide" ]; then
  echo "lines wider than 80 columns at MANWIDTH=80:"
  printf '%s\n' "$wide"
  status=1
fi
[ $status -eq 0 ] && echo "checkman.sh: $page: no groff warning, no line over 80 columns"
exit $status
