#!/usr/bin/env bash
# Speed and memory of the copy on loop devices it attaches and detaches,
# kelpfall in a private mount namespace where the device is the only disk.
# Medians of RUNS runs (default 5), alternating: 1. 1 GB, kelpfall against
# dd bs=10000384 conv=fsync; 2. 1 GB onto the device limited as a stick is,
# writes 100 MB/s and reads 200 MB/s, then reads also 2000 a second (cgroup
# v2 io.max, else v1 blkio; skipped with the reason where neither can),
# image cached and caches dropped, against BASELINE (another kelpfall
# binary, such as a build of the last release) when set; 3. peak RSS. Needs
# root; dropping the caches slows the machine for a moment.
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

# cleanup: the cgroup, the loop devices and the files this run made.
cleanup() {
  if [ -n "$cg" ] && ! rmdir "$cg"; then
    echo "bench.sh: could not remove cgroup $cg" >&2
  fi
  sandbox_detach_all
  rm -rf "$tmp"
}
trap cleanup EXIT

# setup N BYTES IMAGEBYTES: sandbox $tmp/sN whose only disk is a loop device
# of BYTES ($dev, $majmin), and a random image of IMAGEBYTES ($img) written
# to it once untimed, so that every timed run overwrites allocated blocks.
setup() {
  n=$1
  sbox=$tmp/s$1
  img=$sbox/work/image.img
  truncate -s "$2" "$tmp/dev$1.img"
  sandbox_disk "$sbox" "$tmp/dev$1.img" bench
  dev=$sandbox_loop
  majmin=$sandbox_majmin
  head -c "$3" /dev/urandom >"$img"
  dd if="$img" of="$dev" bs=10000384 conv=fsync status=none
}

# since T0: the seconds from T0, an $EPOCHREALTIME, to now.
since() {
  awk -v a="$1" -v b="$EPOCHREALTIME" 'BEGIN { printf "%.3f", b - a }'
}

# median VALUE...: the median of the values.
median() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 }
    END {
      if (NR % 2) print v[(NR + 1) / 2]
      else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2
    }'
}

# settle [cold]: the same start for every run: the image cached (with
# "cold", not), the device not.
settle() {
  cat "$img" >/dev/null
  sync
  blockdev --flushbufs "$dev"
  dd if="$tmp/dev$n.img" iflag=nocache count=0 status=none
  [ "${1:-}" != cold ] || echo 3 >/proc/sys/vm/drop_caches
}

# kelpfall_run BINARY RSSFILE: one run answering 0, in cgroup $cg when set.
# Prints its wall time from its start (once the sandbox is built) to its
# exit; its peak RSS is added to RSSFILE.
kelpfall_run() {
  if ! echo 0 | sandbox_run "$sbox" bash -c '
    [ -z "$3" ] || echo $$ >"$3/cgroup.procs"
    echo "$EPOCHREALTIME" >../start.txt
    exec /usr/bin/time -v -o ../time.txt "$1" "$2"' sh "$1" image.img "$cg" >"$sbox/out.txt"; then
    echo "bench.sh: kelpfall failed:" >&2
    cat "$sbox/out.txt" >&2
    exit 1
  fi
  since "$(cat "$sbox/start.txt")"
  awk -F': ' '/Maximum resident set size/ { print $2 }' "$sbox/time.txt" >>"$2"
}

# dd_run: one run of dd doing the same copy; prints its wall time.
dd_run() {
  local t0=$EPOCHREALTIME
  dd if="$img" of="$dev" bs=10000384 conv=fsync status=none
  since "$t0"
}

echo "== 1. 1 GB image onto a loop device (backing file on $(df --output=source "$tmp" | tail -1)), $runs runs each, alternating"
setup 1 $((1100 << 20)) 1000000000
k=()
d=()
for ((i = 1; i <= runs; i++)); do
  if ((i % 2)); then
    settle
    k+=("$(kelpfall_run "$kelpfall" "$tmp/rss-kelpfall.txt")")
    settle
    d+=("$(dd_run)")
  else
    settle
    d+=("$(dd_run)")
    settle
    k+=("$(kelpfall_run "$kelpfall" "$tmp/rss-kelpfall.txt")")
  fi
done
cmp -n 1000000000 "$img" "$dev"
km=$(median "${k[@]}")
dm=$(median "${d[@]}")
echo "kelpfall: ${k[*]} s; median $km s"
echo "dd:       ${d[*]} s; median $dm s"
awk -v k="$km" -v d="$dm" 'BEGIN { printf "kelpfall / dd = %.3f (target <= 1.05)\n", k / d }'
rm -f "$img"

echo
# The limits of a USB stick, which reads faster than it writes: writes
# 100 MB/s and reads 200 MB/s; in the "iops" runs reads also 2000 a second,
# as a stick's small reads are slow. cgroup v2 with the io controller (and
# memory, so that writeback is charged to the cgroup), else cgroup v1's blkio.
v2=$(findmnt -rn -t cgroup2 -o TARGET | head -1)
v1=$(findmnt -rn -t cgroup -o TARGET,OPTIONS | awk '$2 ~ /(^|,)blkio(,|$)/ { print $1; exit }')
limit=""
if [ -n "$v2" ] && grep -qw io "$v2/cgroup.controllers"; then
  for c in io memory; do
    if grep -qw "$c" "$v2/cgroup.controllers"; then
      echo "+$c" >"$v2/cgroup.subtree_control"
    fi
  done
  limit="$v2/kelpfall-bench.$$"
  cgv=2
  stat=io.stat
elif [ -n "$v1" ]; then
  limit="$v1/kelpfall-bench.$$"
  cgv=1
  stat=blkio.throttle.io_service_bytes
else
  echo "== 2. skipped: no cgroup here can limit a device's bandwidth (no cgroup v1 blkio" \
    "controller, ${v2:-no cgroup v2}${v2:+: cgroup v2 without the io controller})"
fi

# set_limits RIOPS: the device's limits in cgroup $cg; RIOPS 0 for none.
set_limits() {
  if [ "$cgv" = 2 ]; then
    local riops=$1
    [ "$riops" != 0 ] || riops=max
    echo "$majmin wbps=100000000 rbps=200000000 riops=$riops" >"$cg/io.max"
  else
    # In cgroup v1 a limit of 0 removes the rule.
    echo "$majmin 100000000" >"$cg/blkio.throttle.write_bps_device"
    echo "$majmin 200000000" >"$cg/blkio.throttle.read_bps_device"
    echo "$majmin $1" >"$cg/blkio.throttle.read_iops_device"
  fi
}

# Bytes written that the cgroup saw: "MAJ:MIN Write N" (v1),
# "MAJ:MIN ... wbytes=N" (v2).
throttled_bytes() {
  awk -v d="$majmin" '$1 == d && $2 == "Write" { print $3 }
    $1 == d { for (i = 2; i <= NF; i++) if ($i ~ /^wbytes=/) print substr($i, 8) }' "$cg/$stat"
}

# Reads that the cgroup saw, as "BYTES REQUESTS": "MAJ:MIN Read N" in v1's
# io_service_bytes and io_serviced, "rbytes=N rios=N" in v2's io.stat.
throttled_reads() {
  if [ "$cgv" = 2 ]; then
    awk -v d="$majmin" '$1 == d {
        for (i = 2; i <= NF; i++) {
          if ($i ~ /^rbytes=/) b = substr($i, 8)
          if ($i ~ /^rios=/) n = substr($i, 6)
        }
      }
      END { print b + 0, n + 0 }' "$cg/io.stat"
  else
    b=$(awk -v d="$majmin" '$1 == d && $2 == "Read" { print $3 }' "$cg/blkio.throttle.io_service_bytes")
    n=$(awk -v d="$majmin" '$1 == d && $2 == "Read" { print $3 }' "$cg/blkio.throttle.io_serviced")
    echo "${b:-0} ${n:-0}"
  fi
}

if [ -n "$limit" ]; then
  names=(kelpfall)
  bins=("$kelpfall")
  if [ -n "${BASELINE:-}" ]; then
    names+=(baseline)
    bins+=("$BASELINE")
  fi
  echo "== 2. 1 GB image onto a loop device limited to 100 MB/s for writes and 200 MB/s for"
  echo "   reads, then also to 2000 reads/s (cgroup v$cgv); $runs runs of each, alternating:"
  for k in "${!names[@]}"; do
    echo "   ${names[$k]}: ${bins[$k]}"
  done
  setup 2 $((1100 << 20)) 1000000000
  cg=$limit
  mkdir "$cg"
  declare -A times reads medians
  unseen=0
  for ((i = 1; i <= runs; i++)); do
    order=("${!names[@]}")
    if ((i % 2 == 0)) && [ ${#names[@]} -eq 2 ]; then
      order=(1 0)
    fi
    for riops in 0 2000; do
      set_limits "$riops"
      for mode in warm cold; do
        for k in "${order[@]}"; do
          settle "$mode"
          b0=$(throttled_bytes)
          read -r r0 n0 <<<"$(throttled_reads)"
          t=$(kelpfall_run "${bins[$k]}" "$tmp/rss-${names[$k]}.txt")
          read -r r1 n1 <<<"$(throttled_reads)"
          b1=$(throttled_bytes)
          reads["${names[$k]}"]="$((r1 - r0)) bytes in $((n1 - n0)) requests"
          if [ $((b1 - ${b0:-0})) -lt 1000000000 ]; then
            echo "bench.sh: the cgroup saw only $((b1 - ${b0:-0})) of 1000000000 bytes written" >&2
            unseen=1
          fi
          times["${names[$k]} $riops $mode"]+="$t "
        done
      done
    done
  done
  cmp -n 1000000000 "$img" "$dev"
  echo "ideal: 1000000000 B / 1e8 B/s = 10.000 s"
  if [ "$unseen" = 0 ]; then
    echo "the cgroup counted every byte written in every run"
  else
    echo "WARNING: some bytes passed the limit uncounted; the figures below overstate"
  fi
  # The throttle lets a burst of one slice (100 ms of each limit) through at
  # once: so few reads cost less time here than on a stick.
  for name in "${names[@]}"; do
    echo "reads of the disk, $name: ${reads[$name]} (the last run)"
  done
  for riops in 0 2000; do
    for mode in warm cold; do
      label="$mode image, reads limited to 200 MB/s"
      [ "$riops" = 0 ] || label="$label and 2000/s"
      echo "$label:"
      for name in "${names[@]}"; do
        # shellcheck disable=SC2086 # the times are words
        medians[$name]=$(median ${times["$name $riops $mode"]})
        echo "  $name: ${times["$name $riops $mode"]}s; median ${medians[$name]} s"
      done
      if [ -n "${BASELINE:-}" ]; then
        awk -v k="${medians[kelpfall]}" -v b="${medians[baseline]}" \
          'BEGIN { printf "  kelpfall - baseline = %+.3f s (%+.2f %%)\n", k - b, 100 * (k - b) / b }'
      fi
    done
  done
fi

echo "== 3. peak RSS over all runs"
for f in "$tmp"/rss-*.txt; do
  name=${f##*/rss-}
  name=${name%.txt}
  rss=$(sort -g "$f" | tail -1)
  awk -v n="$name" -v r="$rss" 'BEGIN { printf "%s: %d KiB (%.2f MiB; target <= 14 MiB)\n", n, r, r / 1024 }'
done
