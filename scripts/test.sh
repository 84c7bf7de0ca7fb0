#!/usr/bin/env bash
# Builds kelpfall and runs every test through one runner, ctest, in the two
# test builds of CMakePresets.json, warnings as errors: test-plain (the
# GoogleTest suite, the manual and hardening checks, lint, memcheck) and
# test-asan, under AddressSanitizer and UndefinedBehaviorSanitizer (the
# suite, the manual and hardening checks). Then it fuzzes for FUZZ_SECONDS
# seconds (default 120). It installs what it needs.
#
# Run through sudo, it builds and fuzzes as the user who called sudo
# (scripts/common.sh), runs only ctest as root and gives what ctest wrote
# back to that user. A test that cannot run (not root, a tool missing)
# counts as skipped; under CI=true a skip fails the run: this is the one
# place that says so. It ends with "summary: N passed, N failed, N skipped",
# counted from ctest's results, the fuzzing one test more.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/common.sh
. "$top/scripts/common.sh"
"$top/scripts/deps.sh" man-db bsdextrautils devscripts clang-tidy cppcheck valgrind clang libclang-rt-dev || exit 1
passed=0
failed=0
skipped=0

# attr NAME FILE: the value of NAME="..." in the first line that has it.
attr() {
  sed -n "s/.*[[:space:]]$1=\"\\([0-9]*\\)\".*/\\1/p" "$2" | head -1
}

for preset in test-plain test-asan; do
  dir=$top/build/$preset
  echo "== $preset build"
  if ! "$top/scripts/build.sh" "$preset" >/dev/null; then
    failed=$((failed + 1))
    continue
  fi
  echo "== $preset tests"
  rm -f "$dir/junit.xml"
  ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --test-dir "$dir" --output-on-failure -j2 --output-junit junit.xml
  # ctest ran as root: what it wrote goes back to the user who called sudo.
  [ ${#as_caller[@]} -eq 0 ] || chown -R "$SUDO_USER:" "$dir"
  total=$(attr tests "$dir/junit.xml")
  if [ -z "$total" ]; then
    failed=$((failed + 1))
    continue
  fi
  bad=$(attr failures "$dir/junit.xml")
  skip=$(attr skipped "$dir/junit.xml")
  passed=$((passed + total - bad - skip))
  failed=$((failed + bad))
  skipped=$((skipped + skip))
done

echo "== fuzzing"
if KELPFALL_WERROR=ON "${as_caller[@]}" "$top/scripts/fuzz.sh" "${FUZZ_SECONDS:-120}"; then
  passed=$((passed + 1))
else
  failed=$((failed + 1))
fi

echo "summary: $passed passed, $failed failed, $skipped skipped"
if [ "$skipped" -gt 0 ] && [ "${CI:-}" = true ]; then
  echo "CI=true: every test must run; the skips fail the run"
  exit 1
fi
[ "$skipped" -eq 0 ] || echo "$skipped did not run: run as root (sudo scripts/test.sh) for the whole suite"
[ "$failed" -eq 0 ]
