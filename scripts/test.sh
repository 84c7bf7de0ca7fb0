#!/usr/bin/env bash
# Builds kelpfall and runs every test and check:
#   - the GoogleTest suite in a plain build and in an AddressSanitizer +
#     UndefinedBehaviorSanitizer build;
#   - static analysis (scripts/lint.sh);
#   - valgrind memcheck over the real binary on the main paths
#     (scripts/valgrind.sh);
#   - each libFuzzer target for FUZZ_SECONDS (default 45) per target
#     (scripts/fuzz.sh).
# Installs what it needs when missing. Tests that need root, mount namespaces
# or loop devices skip when those are missing, except under CI=true, where
# they fail instead. Ends with one line "summary: N passed, N failed".
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh" || exit 1
jobs=$(nproc)
passed=0
failed=0

# Adds the counts of a ctest log's closing line to the totals.
count_ctest() {
  local line total bad
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -1)
  if [ -z "$line" ]; then
    failed=$((failed + 1))
    return
  fi
  bad=$(sed -E 's/.* ([0-9]+) tests? failed out of.*/\1/' <<<"$line")
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  passed=$((passed + total - bad))
  failed=$((failed + bad))
}

# Runs one check script; it counts as one test.
check() {
  echo "== $1"
  if "${@:2}"; then passed=$((passed + 1)); else failed=$((failed + 1)); fi
}

for variant in plain asan; do
  dir="$top/build/test-$variant"
  flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
  [ "$variant" = asan ] && flags+=(-DKELPFALL_SANITIZE=ON)
  echo "== $variant build"
  if ! { cmake -S "$top" -B "$dir" "${flags[@]}" >/dev/null && cmake --build "$dir" -j"$jobs"; }; then
    failed=$((failed + 1))
    continue
  fi
  echo "== $variant tests"
  log="$dir/ctest.log"
  (cd "$dir" && ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
     UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     ctest --output-on-failure -j"$jobs") 2>&1 | tee "$log"
  count_ctest "$log"
done

check "static analysis" "$top/scripts/lint.sh"
check "valgrind memcheck" "$top/scripts/valgrind.sh"
check "fuzzing" "$top/scripts/fuzz.sh" "${FUZZ_SECONDS:-45}"

echo "summary: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
