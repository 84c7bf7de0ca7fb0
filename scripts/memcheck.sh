#!/usr/bin/env bash
# The test suite with every run of kelpfall, and only kelpfall, under valgrind
# memcheck: the harness puts $KELPFALL_WRAPPER in front of it. A valgrind error
# or a byte still allocated at exit, reachable or not, gives status 99, which
# fails the test; the logs with findings are printed. Left out: the allocation
# failure test (it preloads its own allocator) and descriptors (valgrind 3.24
# counts kelpfall's fcntl probe of a closed standard descriptor, unsuppressibly).
# Usage: scripts/memcheck.sh BUILD/tests/kelpfall_tests [PART COUNT]   Exit
# status 77 (skipped) without valgrind, or when a test skipped.
set -uo pipefail
tests=$1
command -v valgrind >/dev/null || { echo "memcheck.sh: valgrind is not installed"; exit 77; }
export GTEST_SHARD_INDEX=${2:-0} GTEST_TOTAL_SHARDS=${3:-1}
logs=$(cd "$(dirname "$tests")" && pwd)/memcheck-$GTEST_SHARD_INDEX
rm -rf "$logs" && mkdir "$logs" || exit 1
export KELPFALL_WRAPPER="valgrind --leak-check=full --show-leak-kinds=all --errors-for-leak-kinds=all \
--error-exitcode=99 --vgdb=no --log-file=$logs/%p.log"
out=$("$tests" --gtest_filter=-Copy.EveryAllocationFails 2>&1)
status=$?
printf '%s\n' "$out" | grep -aE '^\[ *(OK|FAILED|SKIPPED|PASSED) *\]|^[^[]'
bad=$(grep -L 'ERROR SUMMARY: 0 errors' "$logs"/*.log 2>/dev/null)
for log in $bad; do echo "== $log" && sed -n '/^==[0-9]*== Command:/,$p' "$log" | head -40; done
runs=$(find "$logs" -name '*.log' | wc -l)
echo "memcheck: $runs runs of kelpfall under valgrind, $(wc -w <<<"$bad") with findings"
if [ "$status" -eq 0 ] && grep -aq '^\[  SKIPPED \]' <<<"$out"; then exit 77; fi
[ "$status" -eq 0 ] && [ -z "$bad" ] && [ "$runs" -gt 0 ]
