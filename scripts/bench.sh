#!/usr/bin/env bash
# Speed and memory of the copy: a 1 GB random image onto a loop device that
# this script attaches and detaches, kelpfall in a private mount namespace
# where that device is the only disk. Two conditions: the device as it is,
# with dd bs=10000384 conv=fsync as the mark to reach; and limited as a USB
# stick is, writes 100 MB/s and reads 200 MB/s (ideal: 10 s). Each with the
# image in the page cache (warm) and with the caches dropped first (cold).
# The limits are set with cgroup v2's io.max, else cgroup v1's blkio
# throttle; it stops where neither is there.
# Usage: sudo [RUNS=N] scripts/bench.sh
# Prints the medians of RUNS runs (default 5), made in alternating order;
# the bytes and requests of the device that kelpfall's last run read; and
# kelpfall's peak RSS. Dropping the caches slows the machine for a moment.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/common.sh
. "$top/scripts/common.sh"
# shellcheck source=scripts/sandbox.sh
. "$top/scripts/sandbox.sh"
runs=${RUNS:-5}
[ "$(id -u)" -eq 0 ] || die "run as root"
"$top/scripts/deps.sh" time >&2
kelpfall=$("$top/scripts/build.sh")
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kelpfall-bench.XXXXXX")
cg=""

# cleanup: the loop device, the files and the cgroup this run made.
cleanup() {
  sandbox_detach
  rm -rf "$tmp"
  [ -z "$cg" ] || rmdir "$cg"
}
trap cleanup EXIT

# The cgroup that limits the device: v2's with the io controller (and the
# memory one, so that writeback is charged to the cgroup), else v1's blkio.
v2=$(findmnt -rn -t cgroup2 -o TARGET | head -1)
v1=$(findmnt -rn -t cgroup -O blkio -o TARGET | head -1)
if [ -n "$v2" ] && grep -qw io "$v2/cgroup.controllers"; then
  echo "+io +memory" >"$v2/cgroup.subtree_control"
  cg=$v2/kelpfall-bench.$$
elif [ -n "$v1" ]; then
  cg=$v1/kelpfall-bench.$$
else
  die "no cgroup v2 io controller nor cgroup v1 blkio controller here to limit the device"
fi
mkdir "$cg"

# The device and the image, written to it once untimed, so that every timed
# run overwrites allocated blocks.
truncate -s $((1100 << 20)) "$tmp/dev.img"
sandbox_disk "$tmp/s" "$tmp/dev.img" bench
dev=$sandbox_loop
img=$tmp/s/work/image.img
head -c 1000000000 /dev/urandom >"$img"
dd if="$img" of="$dev" bs=10000384 conv=fsync status=none

# limit none|stick: sets the device's limits in the cgroup. In v1 a limit of
# 0 removes the rule.
limit() {
  local w=max r=max
  if [ "$1" = stick ]; then
    w=100000000
    r=200000000
  fi
  if [ -e "$cg/io.max" ]; then
    echo "$sandbox_majmin wbps=$w rbps=$r" >"$cg/io.max"
  else
    echo "$sandbox_majmin ${w/max/0}" >"$cg/blkio.throttle.write_bps_device"
    echo "$sandbox_majmin ${r/max/0}" >"$cg/blkio.throttle.read_bps_device"
  fi
}

# reads: "BYTES REQUESTS" of the device's reads that the cgroup counted so
# far (v2's io.stat, v1's io_service_bytes and io_serviced).
reads() {
  if [ -e "$cg/io.stat" ]; then
    sed -n "s/^$sandbox_majmin rbytes=\([0-9]*\) .* rios=\([0-9]*\) .*/\1 \2/p" "$cg/io.stat"
  else
    awk -v d="$sandbox_majmin" '$1 == d && $2 == "Read" { printf "%s ", $3 }' \
      "$cg/blkio.throttle.io_service_bytes" "$cg/blkio.throttle.io_serviced"
  fi
}

# settle warm|cold: the same start for every run: the device's cache empty,
# the image's cached for warm, dropped for cold.
settle() {
  cat "$img" >/dev/null
  sync
  blockdev --flushbufs "$dev"
  if [ "$1" = cold ]; then
    echo 3 >/proc/sys/vm/drop_caches
  fi
}

# run kelpfall|dd: one timed run in the cgroup, kelpfall answering 0.
# Prints its seconds from its start to its exit, adds its peak RSS to
# rss-NAME and leaves the reads it made in reads-NAME.
run() {
  local cmd=("$kelpfall" image.img)
  local before
  if [ "$1" = dd ]; then
    cmd=(dd if=image.img of="$dev" bs=10000384 conv=fsync status=none)
  fi
  before=$(reads)
  # shellcheck disable=SC2016 # the inner shell expands them
  if ! echo 0 | sandbox_run "$tmp/s" bash -c '
      echo $$ >"$1/cgroup.procs"
      t0=$EPOCHREALTIME
      /usr/bin/time -f %M -o ../rss "${@:2}" >../out.txt
      echo "$t0 $EPOCHREALTIME" >../times' sh "$cg" "${cmd[@]}"; then
    cat "$tmp/s/out.txt" >&2
    die "$1 failed"
  fi
  cat "$tmp/s/rss" >>"$tmp/rss-$1"
  echo "${before:-0 0} $(reads)" | awk '{ print $3 - $1, $4 - $2 }' >"$tmp/reads-$1"
  awk '{ printf "%.3f", $2 - $1 }' "$tmp/s/times"
}

# median VALUE...: the median of the values.
median() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 }
    END { printf "%.3f", (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2 }'
}

echo "== 1 GB image onto a loop device (backing file on $(df --output=source "$tmp" | tail -1)), $runs runs each"
echo "== none: the device as it is; stick: writes 100 MB/s, reads 200 MB/s (ideal: 10.000 s)"
declare -A times
for ((i = 1; i <= runs; i++)); do
  for condition in none stick; do
    limit "$condition"
    for mode in warm cold; do
      who=(kelpfall)
      if [ "$condition" = none ]; then
        who=(kelpfall dd)
      fi
      if ((i % 2 == 0)); then
        mapfile -t who < <(printf '%s\n' "${who[@]}" | tac)
      fi
      for name in "${who[@]}"; do
        settle "$mode"
        times[$condition $mode $name]+="$(run "$name") "
      done
    done
  done
done
cmp -n 1000000000 "$img" "$dev"

printf '%s\n' "${!times[@]}" | sort | while IFS= read -r key; do
  # shellcheck disable=SC2086 # the times are words
  echo "$key: ${times[$key]}s; median $(median ${times[$key]}) s"
done
# The throttle lets a burst of one slice (100 ms of each limit) through at
# once: a few hundred reads cost less time here than on a stick.
awk '{ printf "kelpfall: the last run read %d bytes of the device in %d requests\n", $1, $2 }' "$tmp/reads-kelpfall"
sort -n "$tmp/rss-kelpfall" | tail -1 |
  awk '{ printf "kelpfall: peak RSS %d KiB (%.2f MiB; target <= 14 MiB)\n", $1, $1 / 1024 }'
