#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ with clang (build/fuzz) and runs each
# one for a bounded time over a copy of its seed corpus and the udev fixtures
# of tests/, so the committed corpus never grows. Installs clang and its fuzzer runtime when missing.
# Usage: scripts/fuzz.sh [seconds-per-target]   (default 30)
# Prints, per target, the executions and the crashes; a crashing input is
# kept in build/fuzz/artifacts/<target>/. Exits 1 when any target crashed or
# could not run.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
"$top/scripts/deps.sh" clang libclang-rt-14-dev >&2
dir="$top/build/fuzz"
CC=clang CXX=clang++ cmake -S "$top" -B "$dir" -DKELPFALL_FUZZ=ON -DKELPFALL_TESTS=OFF \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELPFALL_WERROR="${KELPFALL_WERROR:-OFF}" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target fuzz >/dev/null
# The target names, as fuzz/CMakeLists.txt lists them.
IFS=';' read -ra targets <"$dir/fuzz/targets.txt"

failed=0
for t in "${targets[@]}"; do
  corpus="$dir/corpus/$t"
  artifacts="$dir/artifacts/$t"
  log="$dir/logs/$t.log"
  rm -rf "$corpus" "$artifacts"
  mkdir -p "$corpus" "$artifacts" "$dir/logs"
  cp "$top/fuzz/corpus/$t/." "$corpus/" -r
  status=0
  UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
    "$dir/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$artifacts/" "$corpus" "$top/tests/fixtures/udev" </dev/null >"$log" 2>&1 || status=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  crashes=$(find "$artifacts" -type f | wc -l)
  verdict=OK
  if [ "$status" -ne 0 ] || [ "$crashes" -ne 0 ] || [ -z "$runs" ]; then
    verdict=FAIL
    failed=1
  fi
  printf '%-9s %10s executions  %s crashes  %s\n' "$t" "${runs:-?}" "$crashes" "$verdict"
  if [ "$verdict" = FAIL ]; then
    grep -E 'ERROR|invariant broken|runtime error|SUMMARY|Test unit written' "$log" | head -10 |
      sed 's/^/    /' || true
    echo "    (the whole log: $log)"
  fi
done
[ $failed -eq 0 ] && echo "fuzz: no crash" || echo "fuzz: crashes above"
exit $failed
