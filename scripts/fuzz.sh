#!/usr/bin/env bash
# Builds the libFuzzer target fuzz/fuzz_parsers.cpp with the fuzz preset
# (build/fuzz; clang and its fuzzer runtime installed when missing) and runs
# it for SECONDS seconds (default 30) over a copy of its seed corpus and the
# udev fixtures of tests/, so that the committed corpus never grows.
# Usage: [KELPFALL_WERROR=ON] scripts/fuzz.sh [SECONDS]
# Prints the executions and the crashes; a crashing input is kept in
# build/fuzz/artifacts/. Exits 1 when it crashed or could not run.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
dir=$top/build/fuzz
corpus=$dir/corpus
artifacts=$dir/artifacts
log=$dir/fuzz.log
"$top/scripts/deps.sh" clang libclang-rt-dev >&2
cmake -S "$top" --preset fuzz -DKELPFALL_WERROR="${KELPFALL_WERROR:-OFF}" >/dev/null
cmake --build "$dir" -j2 --target fuzz_parsers >/dev/null
rm -rf "$corpus" "$artifacts"
mkdir -p "$artifacts"
cp -r "$top/fuzz/corpus/parsers" "$corpus"
status=0
UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  "$dir/fuzz/fuzz_parsers" -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
  -artifact_prefix="$artifacts/" "$corpus" "$top/tests/fixtures/udev" </dev/null >"$log" 2>&1 ||
  status=$?
runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
crashes=$(find "$artifacts" -type f | wc -l)
echo "fuzz_parsers: ${runs:-?} executions, $crashes crashes"
if [ "$status" -ne 0 ] || [ "$crashes" -ne 0 ] || [ -z "$runs" ]; then
  grep -E 'ERROR|invariant broken|runtime error|SUMMARY|Test unit written' "$log" | head -10 || true
  echo "fuzz: FAILED (the whole log: $log)"
  exit 1
fi
echo "fuzz: no crash"
