#!/usr/bin/env bash
# Builds the Debian package kelpfall_<version>_<arch>.deb from a Release build,
# checks it with lintian when installed (an error or warning fails) and prints
# its path. Usage: [MAINTAINER="Name <address>"] scripts/package.sh [--twice]
# --twice builds again from a copy of the tree elsewhere and fails unless cmp
# finds the packages identical. SOURCE_DATE_EPOCH, when unset, is the last
# commit's date, else the newest NEWS entry's.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# dpkg-shlibdeps computes Depends; CPack finds the binaries with file.
"$top/scripts/deps.sh" dpkg-dev file >&2
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  [ -e "$top/.git" ] && SOURCE_DATE_EPOCH=$(git -C "$top" log -1 --format=%ct 2>/dev/null || true)
  : "${SOURCE_DATE_EPOCH:=$(date -u -d "$(sed -nE '1s/.*\(([0-9-]+)\)$/\1/p' "$top/NEWS")" +%s)}"
  export SOURCE_DATE_EPOCH
fi
# Builds the package from source tree $1 in $1/build/package; prints its path.
# The cache keeps a maintainer from an earlier run: drop it, or set it anew.
package() {
  cmake -S "$1" -B "$1/build/package" -DCMAKE_BUILD_TYPE=Release -DKELPFALL_TESTS=OFF \
    -UKELPFALL_MAINTAINER ${MAINTAINER:+"-DKELPFALL_MAINTAINER=$MAINTAINER"} >&2
  cmake --build "$1/build/package" -j"$(nproc)" >&2
  rm -f "$1"/build/package/kelpfall_*.deb
  # umask 022: the directories and files in the package get Debian's modes.
  (umask 022 && cd "$1/build/package" && cpack -G DEB >&2)
  ls "$1"/build/package/kelpfall_*.deb
}
deb=$(package "$top")
if [ "${1:-}" = --twice ]; then
  copy=$(mktemp -d "${TMPDIR:-/tmp}/kelpfall-twice.XXXXXX")
  trap 'rm -rf "$copy"' EXIT
  tar -C "$top" --exclude='./build*' --exclude=./.git --exclude=./.wt -cf - . | tar -C "$copy" -xf -
  cmp "$deb" "$(package "$copy")" >&2 || { echo "package.sh: the second build's package differs" >&2; exit 1; }
  echo "reproducible: the package built again in $copy is byte-identical (cmp)" >&2
fi

if ! command -v lintian >/dev/null; then
  echo "package.sh: lintian not installed, the package is not checked" >&2
elif lintian --info --display-info --fail-on error,warning "$deb" >&2; then
  echo "lintian: no error, no warning" >&2
else echo "package.sh: lintian reports errors or warnings" >&2 && exit 1; fi
echo "$deb"
