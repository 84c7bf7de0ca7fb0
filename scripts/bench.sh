#!/usr/bin/env bash
# Speed and memory of the copy: a 1 GB random image onto a loop device that
# this script attaches and detaches, kelpfall in a private mount namespace
# where that device is the only disk. Three conditions: the device as it is,
# with dd bs=10000384 conv=fsync as the mark to reach; limited as a USB stick
# is, writes 100 MB/s and reads 200 MB/s; and with its reads also limited to
# 2000 a second, as a stick's small reads are slow. Each with the image in
# the page cache (warm) and with the caches dropped first (cold). The limits
# are set with cgroup v2's io.max, else cgroup v1's blkio throttle; where
# neither can, only the unlimited runs are made, and the reason is printed.
# BASELINE=BINARY adds another kelpfall (a build of the last release, say)
# to every condition. Prints the medians of RUNS runs (default 5), made in
# alternating order; the reads of the device that each kelpfall made; and
# the peak RSS of each. Needs root; dropping the caches slows the machine
# for a moment.
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
cgv=""

# cleanup: the cgroup, the loop device and the files this run made.
cleanup() {
  if [ -n "$cg" ] && ! rmdir "$cg"; then
    echo "bench.sh: could not remove cgroup $cg" >&2
  fi
  sandbox_detach_all
  rm -rf "$tmp"
}
trap cleanup EXIT

declare -A bins
bins[kelpfall]=$kelpfall
names=(kelpfall)
if [ -n "${BASELINE:-}" ]; then
  bins[baseline]=$BASELINE
  names+=(baseline)
fi

# The device and the image, written to it once untimed, so that every timed
# run overwrites allocated blocks.
truncate -s $((1100 << 20)) "$tmp/dev.img"
sandbox_disk "$tmp/s" "$tmp/dev.img" bench
dev=$sandbox_loop
majmin=$sandbox_majmin
img=$tmp/s/work/image.img
head -c 1000000000 /dev/urandom >"$img"
dd if="$img" of="$dev" bs=10000384 conv=fsync status=none

# The cgroup that limits the device: v2 with the io controller (and memory,
# so that writeback is charged to the cgroup), else v1's blkio.
v2=$(findmnt -rn -t cgroup2 -o TARGET | head -1)
v1=$(findmnt -rn -t cgroup -o TARGET,OPTIONS | awk '$2 ~ /(^|,)blkio(,|$)/ { print $1; exit }')
if [ -n "$v2" ] && grep -qw io "$v2/cgroup.controllers"; then
  for c in io memory; do
    if grep -qw "$c" "$v2/cgroup.controllers"; then
      echo "+$c" >"$v2/cgroup.subtree_control"
    fi
  done
  cg=$v2/kelpfall-bench.$$
  cgv=2
elif [ -n "$v1" ]; then
  cg=$v1/kelpfall-bench.$$
  cgv=1
else
  echo "no cgroup here can limit a device (no cgroup v1 blkio controller," \
    "${v2:-no cgroup v2}${v2:+: cgroup v2 without the io controller}): unlimited runs only"
fi
conditions=(none)
if [ -n "$cg" ]; then
  mkdir "$cg"
  conditions+=(stick iops)
fi

# limit CONDITION: the device's limits for none, stick or iops. In v1 a
# limit of 0 removes the rule.
limit() {
  local w=0 r=0 n=0
  [ "$1" = none ] || w=100000000 r=200000000
  [ "$1" != iops ] || n=2000
  if [ -z "$cg" ]; then
    return
  elif [ "$cgv" = 2 ]; then
    echo "$majmin wbps=$w rbps=$r riops=$n" | sed 's/=0\b/=max/g' >"$cg/io.max"
  else
    echo "$majmin $w" >"$cg/blkio.throttle.write_bps_device"
    echo "$majmin $r" >"$cg/blkio.throttle.read_bps_device"
    echo "$majmin $n" >"$cg/blkio.throttle.read_iops_device"
  fi
}

# counted: "WRITTEN READ REQUESTS", the bytes and read requests of the
# device that the cgroup saw (v2's io.stat, v1's io_service_bytes and
# io_serviced); zeros without a cgroup.
counted() {
  if [ -z "$cg" ]; then
    echo 0 0 0
  elif [ "$cgv" = 2 ]; then
    awk -v d="$majmin" '$1 == d { for (i = 2; i <= NF; i++) { split($i, f, "="); v[f[1]] = f[2] } }
      END { print v["wbytes"] + 0, v["rbytes"] + 0, v["rios"] + 0 }' "$cg/io.stat"
  else
    awk -v d="$majmin" '$1 == d && $2 == "Write" && FILENAME ~ /bytes$/ { w = $3 }
      $1 == d && $2 == "Read" { if (FILENAME ~ /bytes$/) r = $3; else n = $3 }
      END { print w + 0, r + 0, n + 0 }' "$cg/blkio.throttle.io_service_bytes" \
      "$cg/blkio.throttle.io_serviced"
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

# run NAME: one timed run of dd or of kelpfall NAME answering 0, in the
# cgroup. Prints its seconds from its start to its exit. A kelpfall run adds
# its peak RSS to rss-NAME and leaves what the cgroup counted in
# counted-NAME.
run() {
  local before
  before=$(counted)
  if [ "$1" = dd ]; then
    sandbox_run "$tmp/s" bash -c '
      [ -z "$1" ] || echo $$ >"$1/cgroup.procs"
      t0=$EPOCHREALTIME
      dd if=image.img of="$2" bs=10000384 conv=fsync status=none
      echo "$t0 $EPOCHREALTIME"' sh "$cg" "$dev" >"$tmp/times"
  elif ! echo 0 | sandbox_run "$tmp/s" bash -c '
      [ -z "$1" ] || echo $$ >"$1/cgroup.procs"
      t0=$EPOCHREALTIME
      /usr/bin/time -v -o ../time.txt "$2" image.img >../out.txt
      echo "$t0 $EPOCHREALTIME" >../times' sh "$cg" "${bins[$1]}"; then
    cat "$tmp/s/out.txt" >&2
    die "$1 failed"
  fi
  if [ "$1" != dd ]; then
    mv "$tmp/s/times" "$tmp/times"
    awk -F': ' '/Maximum resident set size/ { print $2 }' "$tmp/s/time.txt" >>"$tmp/rss-$1"
    paste -d ' ' <(echo "$before") <(counted) >"$tmp/counted-$1"
  fi
  awk '{ printf "%.3f", $2 - $1 }' "$tmp/times"
}

# median VALUE...: the median of the values.
median() {
  printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 }
    END {
      if (NR % 2) print v[(NR + 1) / 2]
      else printf "%.3f\n", (v[NR / 2] + v[NR / 2 + 1]) / 2
    }'
}

echo "== 1 GB image onto a loop device (backing file on $(df --output=source "$tmp" | tail -1))," \
  "$runs runs each, alternating"
declare -A times
unseen=""
for ((i = 1; i <= runs; i++)); do
  for condition in "${conditions[@]}"; do
    limit "$condition"
    for mode in warm cold; do
      who=("${names[@]}")
      if [ "$condition" = none ]; then
        who+=(dd)
      fi
      if ((i % 2 == 0)); then
        mapfile -t who < <(printf '%s\n' "${who[@]}" | tac)
      fi
      for name in "${who[@]}"; do
        settle "$mode"
        times[$condition $mode $name]+="$(run "$name") "
        if [ "$name" != dd ] && [ "$condition" != none ]; then
          written=$(awk '{ print $4 - $1 }' "$tmp/counted-$name")
          if [ "$written" -lt 1000000000 ]; then
            unseen=yes
          fi
        fi
      done
    done
  done
done
cmp -n 1000000000 "$img" "$dev"

for condition in "${conditions[@]}"; do
  case $condition in
    none) echo "-- the device as it is" ;;
    stick) echo "-- writes 100 MB/s, reads 200 MB/s (ideal: 10.000 s)" ;;
    iops) echo "-- writes 100 MB/s, reads 200 MB/s and 2000/s (ideal: 10.000 s)" ;;
  esac
  for mode in warm cold; do
    first=""
    for name in "${names[@]}" dd; do
      [ -n "${times[$condition $mode $name]:-}" ] || continue
      # shellcheck disable=SC2086 # the times are words
      m=$(median ${times[$condition $mode $name]})
      first=${first:-$m}
      awk -v n="$name" -v mo="$mode" -v t="${times[$condition $mode $name]}" -v m="$m" -v f="$first" \
        'BEGIN { printf "%s %-9s %s s; median %s s (%+.2f %% against kelpfall)\n", mo, n ":", t, m, 100 * (m - f) / f }'
    done
  done
done
if [ -n "$unseen" ]; then
  echo "WARNING: the cgroup missed some bytes written: the limited figures overstate"
fi
# The throttle lets a burst of one slice (100 ms of each limit) through at
# once: a few hundred reads cost less time here than on a stick.
for name in "${names[@]}"; do
  awk -v n="$name" '{ printf "%s: the last run read %d bytes of the device in %d requests\n", n, $5 - $2, $6 - $3 }' \
    "$tmp/counted-$name"
  awk -v n="$name" '$1 > r { r = $1 } END { printf "%s: peak RSS %d KiB (%.2f MiB; target <= 14 MiB)\n", n, r, r / 1024 }' \
    "$tmp/rss-$name"
done
