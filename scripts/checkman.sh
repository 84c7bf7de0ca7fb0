#!/usr/bin/env bash
# Checks a manual page: no groff warning, and no line over 80 characters as
# man renders it for an 80-column terminal.
# Usage: scripts/checkman.sh PAGE   (a ctest test)
# Exit status 77 (skipped) without man, groff or col.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/common.sh
. "$top/scripts/common.sh"
page=$1
for tool in man groff col; do
  command -v "$tool" >/dev/null || skip "$tool missing (Debian: man-db, bsdextrautils)"
done
# One locale for the whole pipeline, whatever the caller's: man renders
# UTF-8 (a hyphen is U+2010), col keeps it, and bash counts characters.
export LC_ALL=C.UTF-8
status=0
warnings=$(groff -man -ww -z "$page" 2>&1)
if [ -n "$warnings" ]; then
  echo "groff warnings:"
  printf '%s\n' "$warnings"
  status=1
fi
# col -b drops the overstriking man uses for bold.
while IFS= read -r line; do
  [ ${#line} -le 80 ] && continue
  echo "${#line} characters at MANWIDTH=80: $line"
  status=1
done < <(MANWIDTH=80 man --warnings -l "$page" 2>&1 | col -bx)
[ $status -ne 0 ] || echo "checkman.sh: $page: no groff warning, no line over 80 characters"
exit $status
