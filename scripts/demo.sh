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
trap 'sandbox_detach_all; rm -rf "$tmp"' EXIT

# A sample image that does not end on a sector boundary, so the last chunk
# is padded, and a 64 MiB device full of 0xEE bytes.
imgsize=23456789
head -c $((64 << 20)) /dev/zero | tr '\0' '\356' >"$tmp/device.img"
# The fixture trees: the loop device's real sysfs entry, its node and a udev
# record naming it, nothing else.
sandbox_disk "$tmp/tree" "$tmp/device.img" demo
loop=$sandbox_loop
head -c "$imgsize" /dev/urandom >"$tmp/tree/work/sample.img"

echo "== sample image: $imgsize bytes; device: $loop, 64 MiB of 0xEE bytes"
echo "== kelpfall sample.img (the script answers 0 at the drive prompt)"
echo
status=0
echo 0 | sandbox_run "$tmp/tree" "$kelpfall" sample.img || status=$?
echo
echo "== kelpfall exit status: $status"

padded=$(( (imgsize + 511) / 512 * 512 ))
cmp -n "$imgsize" "$tmp/tree/work/sample.img" "$loop"
cmp -n $((padded - imgsize)) -i "$imgsize:0" "$loop" /dev/zero
rest=$(((64 << 20) - padded))
cmp -n "$rest" -i "$padded:0" "$loop" <(head -c "$rest" /dev/zero | tr '\0' '\356')
echo "== cmp: the device holds the image ($imgsize bytes), $((padded - imgsize)) zero bytes" \
  "of padding, and its untouched 0xEE bytes after them"
