#!/usr/bin/env bash
# Watch kelpfall write an image without a spare USB stick: makes a sample
# image and a throwaway loop device, runs kelpfall in a private mount
# namespace where that loop device is the only disk (sysfs, udev data and
# /dev are small trees bound over the real ones), answers 0 at the drive
# prompt, then checks the device with cmp and detaches it.
# Needs root, losetup and unshare. Touches no other device.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
[ "$(id -u)" -eq 0 ] || { echo "demo.sh: run as root (loop devices, mount namespace)" >&2; exit 1; }

"$top/scripts/deps.sh" >&2
cmake -S "$top" -B "$top/build/release" -DCMAKE_BUILD_TYPE=Release -DKELPFALL_TESTS=OFF >/dev/null
cmake --build "$top/build/release" -j"$(nproc)" >/dev/null
kelpfall="$top/build/release/kelpfall"

tmp=$(mktemp -d /tmp/kelpfall-demo.XXXXXX)
loop=""
cleanup() {
  # The kernel may hold the device a moment after kelpfall closed it.
  if [ -n "$loop" ]; then
    for _ in 1 2 3 4 5 6 7 8 9 10; do
      losetup -d "$loop" 2>/dev/null && break
      sleep 0.2
    done
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

# A sample image that does not end on a sector boundary, so the last chunk
# is padded, and a 64 MiB device full of 0xEE bytes.
imgsize=23456789
head -c "$imgsize" /dev/urandom >"$tmp/sample.img"
head -c $((64 << 20)) /dev/zero | tr '\0' '\356' >"$tmp/device.img"
loop=$(losetup -f --show "$tmp/device.img")
name=${loop#/dev/}
majmin=$(cat "/sys/class/block/$name/dev")

# The fixture trees: the loop device's real sysfs entry, its node and a udev
# record naming it, nothing else.
mkdir -p "$tmp/sys" "$tmp/run/udev/data" "$tmp/dev" "$tmp/work"
ln -s "$(readlink -f "/sys/class/block/$name")" "$tmp/sys/$name"
mknod "$tmp/dev/$name" b "${majmin%:*}" "${majmin#*:}"
printf 'E:ID_VENDOR=demo\nE:ID_MODEL=loop_device\n' >"$tmp/run/udev/data/b$majmin"
mv "$tmp/sample.img" "$tmp/work/"

echo "== sample image: $imgsize bytes; device: $loop, 64 MiB of 0xEE bytes"
echo "== kelpfall sample.img (the script answers 0 at the drive prompt)"
echo
status=0
echo 0 | unshare -m sh -c '
  mount --make-rprivate / &&
  mount --bind "$1/sys" /sys/class/block &&
  mount --bind "$1/run" /run &&
  mount --bind "$1/dev" /dev &&
  cd "$1/work" && exec "$2" sample.img' sh "$tmp" "$kelpfall" || status=$?
echo
echo "== kelpfall exit status: $status"

padded=$(( (imgsize + 511) / 512 * 512 ))
cmp -n "$imgsize" "$tmp/work/sample.img" "$loop"
cmp -n $((padded - imgsize)) -i "$imgsize:0" "$loop" /dev/zero
rest=$(((64 << 20) - padded))
cmp -n "$rest" -i "$padded:0" "$loop" <(head -c "$rest" /dev/zero | tr '\0' '\356')
echo "== cmp: the device holds the image ($imgsize bytes), $((padded - imgsize)) zero bytes" \
  "of padding, and its untouched 0xEE bytes after them"
