#!/usr/bin/env bash
# Speed and memory of the copy, on loop devices this script attaches itself
# (and detaches), kelpfall always running in a private mount namespace where
# the loop device is the only disk. Prints medians of RUNS runs (default 5):
#  1. a 1 GB image onto a loop device: kelpfall against
#     dd if=IMAGE of=DEVICE bs=10000384 conv=fsync, runs alternating;
#  2. a 300 MB image onto a loop device throttled to 100 MB/s by a cgroup v1
#     blkio throttle on its major:minor, image in the page cache and with the
#     caches dropped first, runs alternating;
#  3. kelpfall's peak resident memory over all its runs (/usr/bin/time -v).
# Needs root, losetup, unshare, /usr/bin/time and /sys/fs/cgroup/blkio.
# Dropping the caches (echo 3 > /proc/sys/vm/drop_caches) slows the rest of
# the machine for a moment.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-5}
[ "$(id -u)" -eq 0 ] || { echo "bench.sh: run as root" >&2; exit 1; }
blkio=/sys/fs/cgroup/blkio
[ -d "$blkio" ] || { echo "bench.sh: no cgroup v1 blkio controller at $blkio" >&2; exit 1; }

"$top/scripts/deps.sh" time >&2
kelpfall=$("$top/scripts/build.sh")
# shellcheck source=scripts/sandbox.sh
. "$top/scripts/sandbox.sh"

tmp=$(mktemp -d "${TMPDIR:-/tmp}/kelpfall-bench.XXXXXX")
cg=""
cleanup() {
  if [ -n "$cg" ] && [ -d "$cg" ]; then
    rmdir "$cg" || echo "bench.sh: could not remove cgroup $cg" >&2
  fi
  sandbox_detach_all
  rm -rf "$tmp"
}
trap cleanup EXIT

# attach BACKINGFILE BYTES: a loop device over a new sparse file; sets $loop.
attach() {
  truncate -s "$2" "$1"
  sandbox_attach "$1"
  loop=$sandbox_loop
}

# sandbox DIR LOOP: fixture trees in which LOOP is the only disk.
sandbox() {
  sandbox_tree "$1"
  sandbox_addloop "$1" "$2"
  sandbox_udev "$1" "$(cat "/sys/class/block/${2#/dev/}/dev")" \
    $'E:ID_VENDOR=bench\nE:ID_MODEL=loop_device\n'
}

# seconds between two $EPOCHREALTIME values (bash's clock: no process started)
secs() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
  if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# kelpfall DIR IMAGE [CGROUP]: one run in the sandbox DIR, answering 0;
# prints its wall time in seconds, from its start once the sandbox is built
# to its exit, and adds its peak RSS to $tmp/rss.txt.
kelpfall_run() {
  local t0 t1
  echo 0 | sandbox_run "$1" bash -c '
    [ -z "$4" ] || echo $$ >"$4/cgroup.procs"
    echo "$EPOCHREALTIME" >"$1/start.txt"
    exec /usr/bin/time -v -o "$1/time.txt" "$2" "$3"' sh "$1" "$kelpfall" "$2" "${3:-}" \
    >"$1/out.txt" || { echo "bench.sh: kelpfall failed:" >&2; cat "$1/out.txt" >&2; exit 1; }
  t1=$EPOCHREALTIME
  t0=$(cat "$1/start.txt")
  awk -F': ' '/Maximum resident set size/ { print $2 }' "$1/time.txt" >>"$tmp/rss.txt"
  secs "$t0" "$t1"
}

dd_run() {
  local t0 t1
  t0=$EPOCHREALTIME
  dd if="$1" of="$2" bs=10000384 conv=fsync status=none
  t1=$EPOCHREALTIME
  secs "$t0" "$t1"
}

# Same start for every run: the image in the page cache, nothing of the
# device or of its backing file cached.
settle() {
  cat "$1" >/dev/null
  sync
  blockdev --flushbufs "$2"
  dd if="$3" iflag=nocache count=0 status=none
}

echo "== 1. 1 GB image onto a loop device (backing file on $(df --output=source "$tmp" | tail -1)), $runs runs each, alternating"
s1="$tmp/s1"
attach "$tmp/dev1.img" $((1100 << 20))
dev1=$loop
sandbox "$s1" "$dev1"
img1="$s1/work/image1g.img"
head -c 1000000000 /dev/urandom >"$img1"
# Untimed: allocate the backing file's blocks, so every timed run overwrites.
dd if="$img1" of="$dev1" bs=10000384 conv=fsync status=none
k1=() d1=()
for ((i = 1; i <= runs; i++)); do
  if ((i % 2)); then
    settle "$img1" "$dev1" "$tmp/dev1.img"; k1+=("$(kelpfall_run "$s1" image1g.img)")
    settle "$img1" "$dev1" "$tmp/dev1.img"; d1+=("$(dd_run "$img1" "$dev1")")
  else
    settle "$img1" "$dev1" "$tmp/dev1.img"; d1+=("$(dd_run "$img1" "$dev1")")
    settle "$img1" "$dev1" "$tmp/dev1.img"; k1+=("$(kelpfall_run "$s1" image1g.img)")
  fi
done
cmp -n 1000000000 "$img1" "$dev1"
km=$(median "${k1[@]}")
dm=$(median "${d1[@]}")
echo "kelpfall: ${k1[*]} s; median $km s"
echo "dd:       ${d1[*]} s; median $dm s"
awk -v k="$km" -v d="$dm" 'BEGIN { printf "kelpfall / dd = %.3f (target <= 1.05)\n", k / d }'
rm -f "$img1"

echo
echo "== 2. 300 MB image onto a loop device throttled to 100 MB/s, $runs runs each, alternating"
s2="$tmp/s2"
attach "$tmp/dev2.img" $((320 << 20))
dev2=$loop
sandbox "$s2" "$dev2"
majmin2=$(cat "/sys/class/block/${dev2#/dev/}/dev")
img2="$s2/work/image300m.img"
head -c 300000000 /dev/urandom >"$img2"
dd if="$img2" of="$dev2" bs=10000384 conv=fsync status=none
cg="$blkio/kelpfall-bench.$$"
mkdir "$cg"
echo "$majmin2 100000000" >"$cg/blkio.throttle.write_bps_device"
# bytes written to the loop device that the cgroup's throttle saw
throttled_bytes() {
  awk -v d="$majmin2" '$1 == d && $2 == "Write" { print $3 }' "$cg/blkio.throttle.io_service_bytes"
}
w=() c=()
unseen=0
for ((i = 1; i <= runs; i++)); do
  for mode in warm cold; do
    settle "$img2" "$dev2" "$tmp/dev2.img"
    [ "$mode" = cold ] && echo 3 >/proc/sys/vm/drop_caches
    b0=$(throttled_bytes); b0=${b0:-0}
    t=$(kelpfall_run "$s2" image300m.img "$cg")
    b1=$(throttled_bytes)
    seen=$((b1 - b0))
    if [ "$seen" -lt 300000000 ]; then
      echo "bench.sh: the throttle saw only $seen of 300000256 bytes written" >&2
      unseen=1
    fi
    if [ "$mode" = warm ]; then w+=("$t"); else c+=("$t"); fi
  done
done
cmp -n 300000000 "$img2" "$dev2"
wm=$(median "${w[@]}")
cm=$(median "${c[@]}")
echo "throttle: $majmin2 100000000 B/s; ideal 300000256 B / 1e8 B/s = 3.000 s"
if [ "$unseen" = 0 ]; then
  echo "the throttle counted every byte of every run"
else
  echo "WARNING: some bytes passed the throttle uncounted; the figures below overstate"
fi
echo "warm image: ${w[*]} s; median $wm s"
echo "cold image: ${c[*]} s; median $cm s"
awk -v w="$wm" -v c="$cm" 'BEGIN { printf "share of the throttled bandwidth: warm %.1f %%, cold %.1f %% (target >= 97 %%)\n", 300.000256 / w, 300.000256 / c }'

echo
rss_kib=$(sort -g "$tmp/rss.txt" | tail -1)
echo "== 3. kelpfall peak RSS over all runs: $rss_kib KiB ($(awk -v r="$rss_kib" 'BEGIN { printf "%.2f", r / 1024 }') MiB; target <= 12 MiB)"
