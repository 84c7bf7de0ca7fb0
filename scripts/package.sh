#!/usr/bin/env bash
# Builds a Release kelpfall and the Debian package kelpfall_<version>_<arch>.deb
# (the tool in /usr/sbin, its manual in /usr/share/man/man8, the copyright
# and changelog in /usr/share/doc/kelpfall), installing what the build needs
# when missing, then checks it with lintian when lintian is installed: any
# error or warning fails the script; info tags are printed. Prints the path
# of the package last.
# MAINTAINER="Name <address>" scripts/package.sh sets the Maintainer field
# (default: KELPFALL_MAINTAINER in CMakeLists.txt).
# Install it with: dpkg -i PATH   Remove it with: dpkg -r kelpfall
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir="$top/build/package"
# dpkg-dev brings dpkg-shlibdeps (the Depends field); file lets CPack find
# the binaries it hands to it.
"$top/scripts/deps.sh" dpkg-dev file >&2
# The cache keeps a value from an earlier run: pass it or drop it each time.
maintainer=(-UKELPFALL_MAINTAINER)
[ -n "${MAINTAINER:-}" ] && maintainer=(-DKELPFALL_MAINTAINER="$MAINTAINER")
cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DKELPFALL_TESTS=OFF "${maintainer[@]}" >&2
cmake --build "$dir" -j"$(nproc)" >&2
rm -f "$dir"/kelpfall_*.deb
# umask 022: the directories and files in the package get Debian's modes.
(umask 022 && cd "$dir" && cpack -G DEB >&2)
deb=$(ls "$dir"/kelpfall_*.deb)
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
