#!/usr/bin/env bash
# Static analysis of src/: clang-tidy with the check set in .clang-tidy, then
# cppcheck with the checks chosen below, over the compile_commands.json of a
# configured build (the tool's sources only, not the tests).
# Usage: scripts/lint.sh [BUILD]   (a ctest test; default: the release preset's
# build/release, configured here)
# Prints every finding. Findings fail it (exit 1) only under CI=true: a newer
# clang-tidy or cppcheck on a user's machine knows checks that the project's
# own did not, and its findings are news for the developers, not a broken
# build. Exit status 77 (skipped) without clang-tidy or cppcheck.
set -uo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/common.sh
. "$top/scripts/common.sh"
for tool in clang-tidy cppcheck; do
  command -v "$tool" >/dev/null || skip "$tool is not installed"
done
dir=${1:-$top/build/release}
[ -n "${1:-}" ] || cmake -S "$top" --preset release >/dev/null || exit 1
cd "$top" || exit 1
status=0

echo "== clang-tidy $(clang-tidy --version | sed -n 's/.*version //p') (.clang-tidy)"
# Its standard error counts the suppressed warnings of system headers; keep
# everything else (a file it could not process is a finding too).
clang-tidy -p "$dir" --quiet src/*/*.cpp 2> >(grep -v ' warnings\? generated\.$' >&2) || status=1

# cppcheck: warning,style,performance,portability (bugs, dubious code, waste,
# platform-dependent results). Left out: unusedFunction (interface routines
# may have no caller yet; the fuzz target calls some directly), information
# (notes on cppcheck's own work, such as normalCheckLevelMaxBranches from
# 2.11 on), readdirCalled (one thread; the readdir_r it suggests is
# deprecated) and missingIncludeSystem (it reads its --library=posix
# descriptions instead). A finding judged wrong is silenced at its line with
# "// cppcheck-suppress ID" and a comment saying why (--inline-suppr).
echo "== cppcheck $(cppcheck --version | sed 's/.* //')"
cppcheck --project="$dir/compile_commands.json" --file-filter="$top/src/*" --std=c++20 --library=posix \
  --enable=warning,style,performance,portability --suppress=normalCheckLevelMaxBranches \
  --suppress=missingIncludeSystem --suppress=readdirCalled --inline-suppr --quiet --error-exitcode=1 \
  --template='{file}:{line}:{column}: {severity}: {message} [{id}]' || status=1

if [ $status -eq 0 ]; then
  echo "lint: no findings"
  exit 0
fi
echo "lint: findings above (they fail the run only under CI=true)"
[ "${CI:-}" != true ]
