#!/usr/bin/env bash
# Builds kelpfall and runs every test through one runner, ctest, in a plain
# build (the GoogleTest suite, the manual and hardening checks, lint,
# memcheck) and an ASan + UBSan build (the suite, the manual and hardening
# checks), warnings as errors; then fuzzes for FUZZ_SECONDS (default 120).
# Installs what it needs. Run through
# sudo, it builds and fuzzes as the user who called sudo, runs only ctest as
# root and gives what ctest wrote back to that user. A test that cannot run
# (not root, a tool missing) counts as skipped; under CI=true a skip fails
# the run: this is the one place that says so. Ends with "summary: N passed,
# N failed, N skipped" from ctest's results, the fuzzing one test more.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh" man-db bsdextrautils devscripts clang-tidy cppcheck valgrind fuzzer || exit 1
as=()
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ] &&
  runuser -u "$SUDO_USER" -- test -w "$top"; then
  as=(runuser -u "$SUDO_USER" --)
fi
passed=0 failed=0 skipped=0
# attr NAME FILE: the value of NAME="..." in the first line that has it.
attr() { sed -n "s/.*[[:space:]]$1=\"\\([0-9]*\\)\".*/\\1/p" "$2" | head -1; }

for variant in plain asan; do
  dir="$top/build/test-$variant"
  flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELPFALL_WERROR=ON)
  [ "$variant" = asan ] && flags+=(-DKELPFALL_SANITIZE=ON) || flags+=(-DKELPFALL_CHECKS=ON)
  echo "== $variant build"
  "$top/scripts/build.sh" "$dir" "${flags[@]}" >/dev/null || { failed=$((failed + 1)); continue; }
  echo "== $variant tests"
  rm -f "$dir/junit.xml"
  (cd "$dir" && ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    ctest --output-on-failure -j2 --output-junit junit.xml)
  [ ${#as[@]} -eq 0 ] || chown -R "$SUDO_USER:" "$dir"
  total=$(attr tests "$dir/junit.xml")
  [ -n "$total" ] || { failed=$((failed + 1)); continue; }
  bad=$(attr failures "$dir/junit.xml") skip=$(attr skipped "$dir/junit.xml")
  passed=$((passed + total - bad - skip))
  failed=$((failed + bad))
  skipped=$((skipped + skip))
done

echo "== fuzzing"
if KELPFALL_WERROR=ON "${as[@]}" "$top/scripts/fuzz.sh" "${FUZZ_SECONDS:-120}"; then
  passed=$((passed + 1))
else failed=$((failed + 1)); fi

echo "summary: $passed passed, $failed failed, $skipped skipped"
if [ "$skipped" -gt 0 ]; then
  if [ "${CI:-}" = true ]; then
    echo "CI=true: every test must run; the skips fail the run"
    exit 1
  fi
  echo "$skipped did not run: run as root (sudo scripts/test.sh) for the whole suite"
fi
[ "$failed" -eq 0 ]
