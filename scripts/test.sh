#!/usr/bin/env bash
# Builds kelpfall and runs every test twice: in a plain build and in an
# AddressSanitizer + UndefinedBehaviorSanitizer build. Installs what it needs.
# Tests that need root, mount namespaces or loop devices skip when those are
# missing, except under CI=true, where they fail instead.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh"
jobs=$(nproc)
status=0
for variant in plain asan; do
  dir="$top/build/test-$variant"
  flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
  [ "$variant" = asan ] && flags+=(-DKELPFALL_SANITIZE=ON)
  echo "== $variant build"
  cmake -S "$top" -B "$dir" "${flags[@]}" >/dev/null
  cmake --build "$dir" -j"$jobs"
  echo "== $variant tests"
  (cd "$dir" && ASAN_OPTIONS=detect_leaks=1:allocator_may_return_null=1 \
     UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
     ctest --output-on-failure -j"$jobs") || status=1
done
exit $status
