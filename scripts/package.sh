#!/usr/bin/env bash
# Builds a Release kelpfall and the Debian package kelpfall_<version>_<arch>.deb
# (/usr/sbin/kelpfall, its manual, and the copyright, NEWS and the Debian
# changelog in /usr/share/doc/kelpfall), installing what the build needs when
# missing, checks it with lintian when installed (an error or warning fails;
# info tags are printed) and prints its path last.
# Usage: scripts/package.sh [--twice]   --twice builds again from a copy of
# the source tree elsewhere and fails unless cmp finds the packages identical.
# SOURCE_DATE_EPOCH (package timestamps, the manual's date), when unset, is
# the last commit's date, else the newest NEWS entry's.
# MAINTAINER="Name <address>" sets the Maintainer field (default:
# KELPFALL_MAINTAINER in CMakeLists.txt). Install: dpkg -i PATH; remove: dpkg -r kelpfall
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# dpkg-dev brings dpkg-shlibdeps (the Depends field); file lets CPack find
# the binaries it hands to it.
"$top/scripts/deps.sh" dpkg-dev file >&2
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
  [ -e "$top/.git" ] && SOURCE_DATE_EPOCH=$(git -C "$top" log -1 --format=%ct 2>/dev/null || true)
  : "${SOURCE_DATE_EPOCH:=$(date -u -d "$(sed -nE '1s/.*\(([0-9-]+)\)$/\1/p' "$top/NEWS")" +%s)}"
  export SOURCE_DATE_EPOCH
fi
# The cache keeps a value from an earlier run: pass it or drop it each time.
maintainer=(-UKELPFALL_MAINTAINER)
[ -n "${MAINTAINER:-}" ] && maintainer=(-DKELPFALL_MAINTAINER="$MAINTAINER")

# Builds the package from source tree $1 in $1/build/package; prints its path.
package() {
  cmake -S "$1" -B "$1/build/package" -DCMAKE_BUILD_TYPE=Release -DKELPFALL_TESTS=OFF "${maintainer[@]}" >&2
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

if command -v lintian >/dev/null; then
  echo "== lintian $deb" >&2
  # --fail-on error,warning: exit status 2 on either; info tags are shown.
  lintian --info --display-info --fail-on error,warning "$deb" >&2 || {
    echo "package.sh: lintian reports errors or warnings" >&2
    exit 1
  }
  echo "lintian: no error, no warning" >&2
else
  echo "package.sh: lintian not installed, the package is not checked" >&2
fi
echo "$deb"
