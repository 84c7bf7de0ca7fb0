#!/usr/bin/env bash
# Static analysis of src/: clang-tidy with the check set in .clang-tidy, then
# cppcheck with the checks chosen below, both over the compile_commands.json
# of a configured build (the tool's sources only, not the tests). Installs
# what it needs when missing. Prints every finding; exits 1 when there is one.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
"$top/scripts/deps.sh" clang-tidy cppcheck >&2
dir="$top/build/lint"
cmake -S "$top" -B "$dir" -DKELPFALL_TESTS=OFF -DCMAKE_EXPORT_COMPILE_COMMANDS=ON >/dev/null
cd "$top"
mapfile -t sources < <(ls src/*/*.cpp)
status=0

echo "== clang-tidy (.clang-tidy)"
# Its standard error counts the suppressed warnings of system headers; keep
# everything else (a file it could not process is a failure too).
clang-tidy -p "$dir" --quiet "${sources[@]}" 2> >(grep -v ' warnings\? generated\.$' >&2) ||
  status=1

# cppcheck:
#   warning,style,performance,portability: bugs, dubious code, waste, and
#     code whose result depends on the platform.
#   not unusedFunction: routines of the shared interface may have no caller
#     yet (the numeric listing formatter has none by design), and the fuzz
#     target calls some routines directly.
#   not information: only notes about cppcheck's own configuration.
#   --library=posix: lets it track descriptors from open/opendir and know
#     read/write/lseek argument rules.
#   --suppress=missingIncludeSystem: it reads its library descriptions
#     instead of the system headers.
#   not readdirCalled: the tool has one thread, and the readdir_r it
#     suggests is deprecated in glibc.
#   --inline-suppr: a finding judged wrong is silenced at its line with
#     "// cppcheck-suppress ID" and a comment saying why.
echo "== cppcheck"
cppcheck --project="$dir/compile_commands.json" --std=c++20 --library=posix \
  --enable=warning,style,performance,portability \
  --suppress=missingIncludeSystem --suppress=readdirCalled --inline-suppr --quiet --error-exitcode=1 \
  --template='{file}:{line}:{column}: {severity}: {message} [{id}]' || status=1

[ $status -eq 0 ] && echo "lint: no findings" || echo "lint: findings above"
exit $status
