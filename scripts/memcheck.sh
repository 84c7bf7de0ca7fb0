#!/usr/bin/env bash
# The test suite with every run of kelpfall, and only kelpfall, under valgrind
# memcheck: the harness runs $KELPFALL_WRAPPER, written here, for kelpfall. A
# valgrind error or a byte still allocated at exit fails the test (status 99);
# logs with findings are printed. Descriptors are not tracked (see README.md).
# Usage: scripts/memcheck.sh BUILD/tests/kelpfall_tests BUILD/kelpfall [PART COUNT]
# Exits 77 (skipped) without valgrind, or when a test skipped.
set -uo pipefail
tests=$1 kelpfall=$2
command -v valgrind >/dev/null || { echo "memcheck.sh: valgrind is not installed"; exit 77; }
export GTEST_SHARD_INDEX=${3:-0} GTEST_TOTAL_SHARDS=${4:-1}
logs=$(cd "$(dirname "$tests")" && pwd)/memcheck-$GTEST_SHARD_INDEX
export KELPFALL_WRAPPER=$logs/kelpfall
rm -rf "$logs" && mkdir "$logs" && cat >"$KELPFALL_WRAPPER" <<EOF && chmod +x "$KELPFALL_WRAPPER" || exit 1
#!/bin/sh
exec valgrind --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all \\
  --error-exitcode=99 --vgdb=no --log-file='$logs/%p.log' '$kelpfall' "\$@"
EOF
out=$("$tests" --gtest_filter=-Copy.EveryAllocationFails 2>&1) # it preloads its own allocator
status=$?
printf '%s\n' "$out" | grep -aE '^\[ *(OK|FAILED|SKIPPED|PASSED) *\]|^[^[]'
bad=$(grep -L 'ERROR SUMMARY: 0 errors' "$logs"/*.log 2>/dev/null)
for log in $bad; do echo "== $log" && sed -n '/^==[0-9]*== Command:/,$p' "$log" | head -40; done
runs=$(find "$logs" -name '*.log' | wc -l)
echo "memcheck: $runs runs of kelpfall under valgrind, $(wc -w <<<"$bad") with findings"
if [ "$status" -eq 0 ] && grep -aq '^\[  SKIPPED \]' <<<"$out"; then exit 77; fi
[ "$status" -eq 0 ] && [ -z "$bad" ] && [ "$runs" -gt 0 ]
