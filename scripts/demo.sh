#!/usr/bin/env bash
# Watch kelpfall write an image without a spare USB stick: makes a sample
# image and a throwaway loop device, runs kelpfall in a private mount
# namespace where that loop device is the only disk (sysfs, udev data and
# /dev are small trees bound over the real ones), answers 0 at the drive
# prompt, then checks the device with cmp and detaches it.
# Needs root, losetup and unshare. Touches no other device.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/common.sh
. "$top/scripts/common.sh"
[ "$(id -u)" -eq 0 ] || die "run as root (loop devices, mount namespace)"

kelpfall=$("$top/scripts/build.sh")
# shellcheck source=scripts/sandbox.sh
. "$top/scripts/sandbox.sh"
tmp=$(mktemp -d /tmp/kelpfall-demo.XXXXXX)
trap 'sandbox_detach; rm -rf "$tmp"' EXIT

# A sample image that does not end on a sector boundary, so the last chunk
# is padded, and a 64 MiB device full of 0xEE bytes.
imgsize=23456789
head -c $((64 << 20)) /dev/zero | tr '\0' '\356' >"$tmp/device.img"
# The fixture trees: the loop device's real sysfs entry, its node and a udev
# record naming it, nothing else.
sandbox_disk "$tmp/tree" "$tmp/device.img" demo
loop=$sandbox_loop
head -c "$imgsize" /dev/urandom >"$tmp/tree/work/sample.img"
# What the device must hold after: the image, zeros to the end of its last
# sector (dd's conv=sync pads), then its untouched 0xEE bytes.
cp "$tmp/device.img" "$tmp/expected.img"
dd if="$tmp/tree/work/sample.img" of="$tmp/expected.img" bs=512 conv=notrunc,sync status=none

echo "== sample image: $imgsize bytes; device: $loop, 64 MiB of 0xEE bytes"
echo "== kelpfall sample.img (the script answers 0 at the drive prompt)"
echo
status=0
echo 0 | sandbox_run "$tmp/tree" "$kelpfall" sample.img || status=$?
echo
echo "== kelpfall exit status: $status"
cmp "$loop" "$tmp/expected.img"
echo "== cmp: the device holds the image, zeros to the end of its last sector" \
  "and its untouched 0xEE bytes after them"
