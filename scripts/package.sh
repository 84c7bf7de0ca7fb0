#!/usr/bin/env bash
# Builds the Debian package kelpfall_<version>_<arch>.deb with the package
# preset (build/package), checks it with lintian (an error or a warning
# fails) and prints its path. It installs what it needs.
# Usage: [MAINTAINER="Name <address>"] scripts/package.sh [--twice]
# --twice builds it again from a copy of the source tree elsewhere and fails
# unless cmp finds the two packages identical.
# SOURCE_DATE_EPOCH, when unset, is set to the date of the newest NEWS entry
# (the release's); the time stamps in the package and the manual's date come
# from it.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/common.sh
. "$top/scripts/common.sh"
# dpkg-shlibdeps computes Depends; CPack finds the binaries with file.
"$top/scripts/deps.sh" dpkg-dev file lintian >&2
news_date=$(sed -nE '1s/.*\(([0-9-]+)\)$/\1/p' "$top/NEWS")
export SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(date -u -d "$news_date" +%s)}
# The directories and files in the package get Debian's modes.
umask 022

# package SOURCE: builds the package from the source tree SOURCE in
# SOURCE/build/package and prints its path. The cache would keep the
# maintainer of an earlier run: it is dropped, or set anew.
package() {
  local dir=$1/build/package
  local maintainer=()
  [ -z "${MAINTAINER:-}" ] || maintainer=("-DKELPFALL_MAINTAINER=$MAINTAINER")
  cmake -S "$1" --preset package -UKELPFALL_MAINTAINER "${maintainer[@]}" >&2
  cmake --build "$dir" -j"$(nproc)" >&2
  rm -f "$dir"/kelpfall_*.deb
  cpack -G DEB --config "$dir/CPackConfig.cmake" -B "$dir" >&2
  ls "$dir"/kelpfall_*.deb
}

deb=$(package "$top")
if [ "${1:-}" = --twice ]; then
  copy=$(mktemp -d "${TMPDIR:-/tmp}/kelpfall-twice.XXXXXX")
  trap 'rm -rf "$copy"' EXIT
  tar -C "$top" --exclude='./build*' --exclude=./.git --exclude=./.wt -cf - . | tar -C "$copy" -xf -
  cmp "$deb" "$(package "$copy")" >&2 || die "the second build's package differs"
  echo "reproducible: the package built again in $copy is byte-identical (cmp)" >&2
fi

lintian --info --display-info --fail-on error,warning "$deb" >&2 || die "lintian reports errors or warnings"
echo "lintian: no error, no warning" >&2
echo "$deb"
