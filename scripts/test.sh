#!/usr/bin/env bash
# Builds kelpfall and runs every test and check:
#   - the GoogleTest suite, the manual and the hardening check in a plain and an
#     AddressSanitizer + UndefinedBehaviorSanitizer build, warnings as
#     errors (KELPFALL_WERROR);
#   - static analysis (scripts/lint.sh);
#   - valgrind memcheck over the real binary on the main paths
#     (scripts/valgrind.sh);
#   - each libFuzzer target for FUZZ_SECONDS (default 120) per target
#     (scripts/fuzz.sh).
# Installs what it needs when missing. Tests that need root, mount namespaces
# or loop devices skip without them, and so does a check script that cannot
# run (exit status 77); under CI=true they fail instead, and any skip left
# fails the run. Ends with one line "summary: N passed, N failed, N skipped".
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# man-db and bsdextrautils (col): the manual check; devscripts: hardening-check.
"$top/scripts/deps.sh" man-db bsdextrautils devscripts || exit 1
jobs=$(nproc)
export KELPFALL_WERROR=ON
passed=0
failed=0
skipped=0

# Adds the counts of a ctest log to the totals: its closing line
# "N% tests passed, F tests failed out of T" counts a skipped test as
# passed, and its list of tests that did not run marks them "(Skipped)".
count_ctest() {
  local line total bad skip
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -1)
  if [ -z "$line" ]; then
    failed=$((failed + 1))
    return
  fi
  bad=$(sed -E 's/.* ([0-9]+) tests? failed out of.*/\1/' <<<"$line")
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  skip=$(grep -cE '^[[:space:]]*[0-9]+ - .* \(Skipped\)$' "$1")
  passed=$((passed + total - bad - skip))
  failed=$((failed + bad))
  skipped=$((skipped + skip))
}

# Runs one check script; it counts as one test, skipped on exit status 77.
check() {
  echo "== $1"
  local status=0
  "${@:2}" || status=$?
  case $status in
    0) passed=$((passed + 1)) ;;
    77) skipped=$((skipped + 1)); echo "($1: skipped)" ;;
    *) failed=$((failed + 1)) ;;
  esac
}

for variant in plain asan; do
  dir="$top/build/test-$variant"
  flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELPFALL_WERROR=ON)
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
check "fuzzing" "$top/scripts/fuzz.sh" "${FUZZ_SECONDS:-120}"

echo "summary: $passed passed, $failed failed, $skipped skipped"
if [ "$skipped" -gt 0 ]; then
  if [ "${CI:-}" = true ]; then
    echo "CI=true: every test must run; the skips fail the run"
    exit 1
  fi
  echo "$skipped did not run: run as root (sudo scripts/test.sh) for the whole suite"
fi
[ "$failed" -eq 0 ]
