#!/usr/bin/env bash
# Runs the real kelpfall binary (a plain build, no sanitizer) under valgrind
# memcheck on the main paths of a run. Each path runs in a private mount
# namespace whose /sys/class/block, /run and /dev are fixture trees, so the
# tool sees only fixture disks and writes only to a regular file standing in
# for /dev/NAME. Needs root; installs valgrind when missing.
#
# Prints one line per path: the exit status, valgrind's error count and the
# bytes still in use at exit, and OK when both are 0; below it what the run
# printed last and, for the copy, whether the stand-in device holds the image.
# Exits 1 when any path has a valgrind error or bytes in use at exit, or
# could not be run. KEEP=1 keeps the valgrind logs and prints where.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

if [ "$(id -u)" -ne 0 ]; then
  echo "valgrind.sh: needs root for the private mount namespace" >&2
  [ "${CI:-}" = true ] && exit 1
  exit 0
fi
"$top/scripts/deps.sh" valgrind >&2
dir="$top/build/valgrind"
cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELPFALL_SANITIZE=OFF \
  -DKELPFALL_TESTS=OFF >/dev/null
cmake --build "$dir" -j"$(nproc)" --target kelpfall >/dev/null
bin="$dir/kelpfall"

root=$(mktemp -d "${TMPDIR:-/tmp}/kelpfall-valgrind.XXXXXX")
[ -n "${KEEP:-}" ] && echo "logs kept in $root/logs" || trap 'rm -rf "$root"' EXIT
tree="$root/tree"
mkdir -p "$root/logs"
udevfixture="$top/tests/fixtures/udev/usb-sandisk-ultra-usb3-rpi4.db-converted.txt"

# A fresh fixture tree: sys (/sys/class/block), run (/run), dev (/dev), work.
newtree() {
  rm -rf "$tree"
  mkdir -p "$tree/sys" "$tree/run/udev/data" "$tree/dev" "$tree/work"
}

# adddisk NAME MAJOR MINOR SECTORS: a whole disk as sysfs shows it (size in
# 512-byte sectors, 512-byte logical blocks).
adddisk() {
  mkdir -p "$tree/sys/$1/queue"
  printf 'MAJOR=%s\nMINOR=%s\nDEVNAME=%s\nDEVTYPE=disk\n' "$2" "$3" "$1" >"$tree/sys/$1/uevent"
  printf '%s\n' "$4" >"$tree/sys/$1/size"
  printf '512\n' >"$tree/sys/$1/queue/logical_block_size"
}

# The one disk of most paths: sda, a 20 MiB USB stick with its udev record,
# its partition sda1, an empty card reader slot sdb (size 0, no table line)
# and a regular file standing in for /dev/sda.
onedisk() {
  adddisk sda 8 0 40960
  mkdir -p "$tree/sys/sda/sda1"
  printf '1\n' >"$tree/sys/sda/sda1/partition"
  ln -s sda/sda1 "$tree/sys/sda1"
  cp "$udevfixture" "$tree/run/udev/data/b8:0"
  adddisk sdb 8 16 0
  : >"$tree/dev/sda"
}

# Inside the new namespace: the nodes valgrind may open, bound from the real
# /dev onto the fixture /dev (carried along by --rbind), then the fixture
# trees over the real ones. -n: no record in /run/mount/utab.
sandboxed='
  set -e
  t=$1
  shift
  for n in null zero urandom; do
    : >"$t/dev/$n"
    mount -n --bind "/dev/$n" "$t/dev/$n"
  done
  mount -n --bind "$t/sys" /sys/class/block
  mount -n --bind "$t/run" /run
  mount -n --rbind "$t/dev" /dev
  cd "$t/work"
  exec "$@"'

failed=0
# runpath NAME INPUT EXPECTED-STATUS ARGS...: one run under valgrind in the
# sandbox, with INPUT on standard input; prints the result line.
runpath() {
  local name=$1 input=$2 expect=$3
  shift 3
  local log="$root/logs/$name.log" out="$root/logs/$name.out" err="$root/logs/$name.err"
  local status=0
  printf '%b' "$input" | unshare -m --propagation private sh -c "$sandboxed" sh "$tree" \
    valgrind --leak-check=full --errors-for-leak-kinds=all --show-leak-kinds=all \
    --error-exitcode=99 --track-fds=yes --vgdb=no --log-file="$log" \
    "$bin" "$@" >"$out" 2>"$err" || status=$?
  local nerrors inuse verdict
  nerrors=$(sed -n 's/.*ERROR SUMMARY: \([0-9,]*\) errors.*/\1/p' "$log" | tail -1 | tr -d ,)
  inuse=$(sed -n 's/.*in use at exit: \([0-9,]*\) bytes.*/\1/p' "$log" | tail -1 | tr -d ,)
  if [ -z "$nerrors" ] || [ -z "$inuse" ]; then
    verdict="NOT RUN"
    failed=1
  elif [ "$nerrors" = 0 ] && [ "$inuse" = 0 ]; then
    verdict=OK
  else
    verdict=FAIL
    failed=1
  fi
  printf '%-22s status %-3s errors %-3s in use at exit %s bytes  %s\n' \
    "$name" "$status" "${nerrors:-?}" "${inuse:-?}" "$verdict"
  [ "$status" = "$expect" ] || printf '    note: exit status %s, a finished tool gives %s\n' \
    "$status" "$expect"
  local lastout lasterr
  lastout=$(tr '\r' '\n' <"$out" | sed '/^[[:space:]]*$/d' | tail -1)
  lasterr=$(sed '/^[[:space:]]*$/d' "$err" | tail -1)
  [ -n "$lastout" ] && printf '    stdout ends: %s\n' "$lastout"
  [ -n "$lasterr" ] && printf '    stderr ends: %s\n' "$lasterr"
  # Descriptors the tool opened and left open at exit (the teardown closes
  # the image and the target); inherited ones do not count.
  local fds
  fds=$(awk '/Open file descriptor [0-9]+:/ { d = $0; sub(/.*Open file descriptor /, "", d); next }
             d != "" { if ($0 !~ /inherited from parent/) print d; d = "" }' "$log" | paste -sd' ')
  [ -n "$fds" ] && printf '    descriptors left open at exit: %s\n' "$fds"
  if [ "$verdict" != OK ]; then
    grep -E '^==[0-9]+== (Invalid|Conditional|Use of|Mismatched|Syscall param|Source and destination| +(at|by) |.*(definitely|indirectly|possibly) lost|.*still reachable)' \
      "$log" | head -20 | sed 's/^/    /' || true
    echo "    (the whole log: run with KEEP=1, which keeps $root/logs)"
  fi
  return 0
}

echo "kelpfall under valgrind memcheck ($bin)"

newtree
runpath missing-image '' 1 missing.img

newtree
printf 'image data\n' >"$tree/work/disk.img"
runpath no-disk '' 1 disk.img

# Every invalid answer at the drive prompt, with one listed disk (index 0)
# and one unlisted slot (index 1).
for answer in 'q\n' '-1\n' '1\n' '2\n' '99999999999\n' '\n\n' ''; do
  newtree
  onedisk
  printf 'image data\n' >"$tree/work/disk.img"
  case "$answer" in
    '') label=eof ;;
    '\n\n') label=blank-lines ;;
    *) label=${answer%\\n} ;;
  esac
  runpath "answer-$label" "$answer" 1 disk.img
done

# The image chosen from the working directory and from a list file, then q.
newtree
onedisk
printf 'image data\n' >"$tree/work/disk.img"
runpath dir-mode-then-q '0\nq\n' 1

newtree
onedisk
printf 'image data\n' >"$tree/work/disk.img"
printf '\n  \n%s\n\n' disk.img >"$tree/work/images.txt"
runpath list-mode-then-q '0\nq\n' 1 images.txt unused

# A good copy: a full chunk of 10,000,384 bytes and a last chunk of 1,000
# bytes, which is padded with 24 zero bytes.
newtree
onedisk
head -c 10001384 /dev/urandom >"$root/image"
cp "$root/image" "$tree/work/disk.img"
runpath good-copy '0\n' 0 disk.img
{ cat "$root/image"; head -c 24 /dev/zero; } >"$root/expected"
if cmp -s "$root/expected" "$tree/dev/sda"; then
  echo "    device: the image and 24 zero bytes, nothing else"
else
  echo "    device: $(stat -c %s "$tree/dev/sda") bytes, NOT the image and its padding"
fi

# Failed copies: a directory as the image (its first read fails) and a disk
# whose node is missing under /dev.
newtree
onedisk
mkdir "$tree/work/imgdir"
runpath failed-copy-dir '0\n' 1 imgdir

newtree
onedisk
rm "$tree/dev/sda"
printf 'image data\n' >"$tree/work/disk.img"
runpath failed-copy-no-node '0\n' 1 disk.img

[ $failed -eq 0 ] && echo "valgrind: every path clean" || echo "valgrind: findings above"
exit $failed
