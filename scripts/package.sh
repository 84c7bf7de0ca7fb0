#!/usr/bin/env bash
# Builds a Release kelpfall and the Debian package kelpfall_<version>_<arch>.deb
# (the tool in /usr/bin, its manual page in /usr/share/man/man1), installing
# what the build needs when missing. Prints the path of the package.
# Install it with: dpkg -i PATH   Remove it with: dpkg -r kelpfall
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
dir="$top/build/package"
# dpkg-dev brings dpkg-shlibdeps (the Depends field); file lets CPack find
# the binaries it hands to it.
"$top/scripts/deps.sh" dpkg-dev file >&2
cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=Release -DKELPFALL_TESTS=OFF >&2
cmake --build "$dir" -j"$(nproc)" >&2
rm -f "$dir"/kelpfall_*.deb
(cd "$dir" && cpack -G DEB >&2)
deb=$(ls "$dir"/kelpfall_*.deb)
echo "$deb"
