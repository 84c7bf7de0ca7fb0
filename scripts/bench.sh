#!/usr/bin/env bash
# Speed and memory of the copy on loop devices it attaches and detaches,
# kelpfall in a private mount namespace where the device is the only disk.
# Medians of RUNS runs (default 5), alternating: 1. 1 GB, kelpfall against
# dd bs=10000384 conv=fsync; 2. 300 MB onto the device limited to 100 MB/s
# (cgroup v2 io.max, else v1 blkio; skipped with the reason where neither
# can), image cached and caches dropped; 3. kelpfall's peak RSS. Needs root;
# dropping the caches slows the machine for a moment.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
runs=${RUNS:-5}
[ "$(id -u)" -eq 0 ] || { echo "bench.sh: run as root" >&2; exit 1; }
"$top/scripts/deps.sh" time >&2
kelpfall=$("$top/scripts/build.sh")
# shellcheck source=scripts/sandbox.sh
. "$top/scripts/sandbox.sh"
tmp=$(mktemp -d "${TMPDIR:-/tmp}/kelpfall-bench.XXXXXX")
cg=""
trap '[ -z "$cg" ] || rmdir "$cg" || echo "bench.sh: could not remove cgroup $cg" >&2
  sandbox_detach_all; rm -rf "$tmp"' EXIT

# setup N BYTES IMAGEBYTES: sandbox $tmp/sN whose only disk is a loop device
# of BYTES ($dev, $majmin), and a random image of IMAGEBYTES ($img) written
# to it once untimed, so that every timed run overwrites allocated blocks.
setup() {
  n=$1 sbox=$tmp/s$1 img=$tmp/s$1/work/image.img
  truncate -s "$2" "$tmp/dev$1.img"
  sandbox_disk "$sbox" "$tmp/dev$1.img" bench
  dev=$sandbox_loop majmin=$sandbox_majmin
  head -c "$3" /dev/urandom >"$img"
  dd if="$img" of="$dev" bs=10000384 conv=fsync status=none
}
since() { awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }'; } # $1: $EPOCHREALTIME
median() { printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END {
  if (NR % 2) print v[(NR + 1) / 2]; else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# Same start for every run: the image cached (with "cold" not), the device not.
settle() {
  cat "$img" >/dev/null
  sync
  blockdev --flushbufs "$dev"
  dd if="$tmp/dev$n.img" iflag=nocache count=0 status=none
  [ "${1:-}" != cold ] || echo 3 >/proc/sys/vm/drop_caches
}
# One run answering 0, in cgroup $cg when set: prints its wall time from its
# start (once the sandbox is built) to its exit; its peak RSS goes to rss.txt.
kelpfall_run() {
  echo 0 | sandbox_run "$sbox" bash -c '
    [ -z "$3" ] || echo $$ >"$3/cgroup.procs"
    echo "$EPOCHREALTIME" >../start.txt
    exec /usr/bin/time -v -o ../time.txt "$1" "$2"' sh "$kelpfall" image.img "$cg" \
    >"$sbox/out.txt" || { echo "bench.sh: kelpfall failed:" >&2; cat "$sbox/out.txt" >&2; exit 1; }
  since "$(cat "$sbox/start.txt")"
  awk -F': ' '/Maximum resident set size/ { print $2 }' "$sbox/time.txt" >>"$tmp/rss.txt"
}
dd_run() { local t0=$EPOCHREALTIME; dd if="$img" of="$dev" bs=10000384 conv=fsync status=none; since "$t0"; }

echo "== 1. 1 GB image onto a loop device (backing file on $(df --output=source "$tmp" | tail -1)), $runs runs each, alternating"
setup 1 $((1100 << 20)) 1000000000
k=() d=()
for ((i = 1; i <= runs; i++)); do
  if ((i % 2)); then settle; k+=("$(kelpfall_run)"); settle; d+=("$(dd_run)")
  else settle; d+=("$(dd_run)"); settle; k+=("$(kelpfall_run)"); fi
done
cmp -n 1000000000 "$img" "$dev"
km=$(median "${k[@]}") dm=$(median "${d[@]}")
echo "kelpfall: ${k[*]} s; median $km s"
echo "dd:       ${d[*]} s; median $dm s"
awk -v k="$km" -v d="$dm" 'BEGIN { printf "kelpfall / dd = %.3f (target <= 1.05)\n", k / d }'
rm -f "$img"

echo
# A write limit: cgroup v2 with the io controller (and memory, so that
# writeback is charged to the cgroup), else cgroup v1's blkio.
v2=$(findmnt -rn -t cgroup2 -o TARGET | head -1)
v1=$(findmnt -rn -t cgroup -o TARGET,OPTIONS | awk '$2 ~ /(^|,)blkio(,|$)/ { print $1; exit }')
if [ -n "$v2" ] && grep -qw io "$v2/cgroup.controllers"; then
  for c in io memory; do
    ! grep -qw "$c" "$v2/cgroup.controllers" || echo "+$c" >"$v2/cgroup.subtree_control"
  done
  limit="$v2/kelpfall-bench.$$" limitfile=io.max limitfmt="%s wbps=100000000" cgv=2 stat=io.stat
elif [ -n "$v1" ]; then
  limit="$v1/kelpfall-bench.$$" limitfile=blkio.throttle.write_bps_device limitfmt="%s 100000000" cgv=1
  stat=blkio.throttle.io_service_bytes
else
  echo "== 2. skipped: no cgroup here can limit a device's bandwidth (no cgroup v1 blkio" \
    "controller, ${v2:-no cgroup v2}${v2:+: cgroup v2 without the io controller})"
  limit=""
fi
if [ -n "$limit" ]; then
  echo "== 2. 300 MB image onto a loop device throttled to 100 MB/s (cgroup v$cgv), $runs runs each, alternating"
  setup 2 $((320 << 20)) 300000000
  cg=$limit
  mkdir "$cg"
  # shellcheck disable=SC2059 # the format is one of the two above
  printf "$limitfmt\n" "$majmin" >"$cg/$limitfile"
  # bytes written that the cgroup saw: "MAJ:MIN Write N" (v1), "MAJ:MIN ... wbytes=N" (v2)
  throttled_bytes() {
    awk -v d="$majmin" '$1 == d && $2 == "Write" { print $3 }
      $1 == d { for (i = 2; i <= NF; i++) if ($i ~ /^wbytes=/) print substr($i, 8) }' "$cg/$stat"
  }
  w=() c=() unseen=0
  for ((i = 1; i <= runs; i++)); do
    for mode in warm cold; do
      settle "$mode"
      b0=$(throttled_bytes)
      t=$(kelpfall_run)
      b1=$(throttled_bytes)
      if [ $((b1 - ${b0:-0})) -lt 300000000 ]; then
        echo "bench.sh: the cgroup saw only $((b1 - ${b0:-0})) of 300000256 bytes written" >&2
        unseen=1
      fi
      if [ "$mode" = warm ]; then w+=("$t"); else c+=("$t"); fi
    done
  done
  cmp -n 300000000 "$img" "$dev"
  wm=$(median "${w[@]}") cm=$(median "${c[@]}")
  echo "limit: $majmin 100000000 B/s; ideal 300000256 B / 1e8 B/s = 3.000 s"
  [ "$unseen" = 0 ] && echo "the cgroup counted every byte of every run" ||
    echo "WARNING: some bytes passed the limit uncounted; the figures below overstate"
  echo "warm image: ${w[*]} s; median $wm s"
  echo "cold image: ${c[*]} s; median $cm s"
  awk -v w="$wm" -v c="$cm" 'BEGIN { printf "share of the limited bandwidth: warm %.1f %%, cold %.1f %% (target >= 97 %%)\n", 300.000256 / w, 300.000256 / c }'
fi

rss=$(sort -g "$tmp/rss.txt" | tail -1)
echo "== 3. kelpfall peak RSS over all runs: $rss KiB ($(awk -v r="$rss" 'BEGIN { printf "%.2f", r / 1024 }') MiB; target <= 12 MiB)"
