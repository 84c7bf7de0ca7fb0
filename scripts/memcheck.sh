#!/usr/bin/env bash
# The test suite with every run of kelpfall, and only kelpfall, under
# valgrind memcheck: the test harness runs $KELPFALL_WRAPPER, a script
# written here, wherever it would run kelpfall. A valgrind error or a byte
# still allocated at exit, reachable or not, fails the test that made the
# run (status 99). The logs are in tests/memcheck-PART/ of the build; those
# with findings are printed.
# Left out: the allocation-failure test, which preloads its own allocator,
# and descriptor tracking: valgrind 3.24 (Debian 13) reports kelpfall's
# deliberate check of a closed standard descriptor and cannot suppress that
# report.
# Usage: scripts/memcheck.sh BUILD/tests/kelpfall_tests BUILD/kelpfall [PART COUNT]
# runs part PART (from 0) of COUNT of the suite (ctest runs three side by
# side). Exit status 77 (skipped) without valgrind, or when a test skipped.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/common.sh
. "$top/scripts/common.sh"
tests=$1
kelpfall=$2
command -v valgrind >/dev/null || skip "valgrind is not installed"
export GTEST_SHARD_INDEX=${3:-0}
export GTEST_TOTAL_SHARDS=${4:-1}
logs=$(cd "$(dirname "$tests")" && pwd)/memcheck-$GTEST_SHARD_INDEX
export KELPFALL_WRAPPER=$logs/kelpfall
rm -rf "$logs"
mkdir "$logs" || exit 1
cat >"$KELPFALL_WRAPPER" <<WRAPPER || exit 1
#!/bin/sh
exec valgrind --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all \\
  --error-exitcode=99 --vgdb=no --log-file='$logs/%p.log' '$kelpfall' "\$@"
WRAPPER
chmod +x "$KELPFALL_WRAPPER" || exit 1
out=$("$tests" --gtest_filter=-Copy.EveryAllocationFails 2>&1)
status=$?
printf '%s\n' "$out" | grep -aE '^\[ *(OK|FAILED|SKIPPED|PASSED) *\]|^[^[]'
bad=$(grep -L 'ERROR SUMMARY: 0 errors' "$logs"/*.log 2>/dev/null)
for log in $bad; do
  echo "== $log"
  sed -n '/^==[0-9]*== Command:/,$p' "$log" | head -40
done
runs=$(find "$logs" -name '*.log' | wc -l)
echo "memcheck: $runs runs of kelpfall under valgrind, $(wc -w <<<"$bad") with findings"
if [ "$status" -eq 0 ] && grep -aq '^\[  SKIPPED \]' <<<"$out"; then
  skip "a test skipped, so it ran under valgrind only in part"
fi
[ "$status" -eq 0 ] && [ -z "$bad" ] && [ "$runs" -gt 0 ]
