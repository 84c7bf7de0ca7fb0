#!/usr/bin/env bash
# Runs the real kelpfall binary (a plain build, no sanitizer) under valgrind
# memcheck on the main paths of a run. Each path runs in a private mount
# namespace whose /sys/class/block, /run and /dev are fixture trees
# (scripts/sandbox.sh), so the tool sees only fixture disks; the one disk it
# may write is a loop device this script attaches over a 20 MiB file of its
# own and detaches again. Needs root; installs valgrind when missing. Without
# root it exits 77 (skipped), under CI=true 1.
#
# Prints one line per path: the exit status, valgrind's error count and the
# bytes still in use at exit, and OK when both are 0; below it what the run
# printed last and, for the copy, whether the loop device holds the image.
# Exits 1 when any path has a valgrind error or bytes in use at exit, or
# could not be run. KEEP=1 keeps the valgrind logs and prints where.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)

# shellcheck source=scripts/sandbox.sh
. "$top/scripts/sandbox.sh"
sandbox_check valgrind.sh
"$top/scripts/deps.sh" valgrind >&2
dir="$top/build/valgrind"
cmake -S "$top" -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELPFALL_SANITIZE=OFF \
  -DKELPFALL_TESTS=OFF -DKELPFALL_WERROR="${KELPFALL_WERROR:-OFF}" >/dev/null
cmake --build "$dir" -j"$(nproc)" --target kelpfall >/dev/null
bin="$dir/kelpfall"

root=$(mktemp -d "${TMPDIR:-/tmp}/kelpfall-valgrind.XXXXXX")
cleanup() {
  sandbox_detach_all
  if [ -n "${KEEP:-}" ]; then rm -f "$root/device.img"; else rm -rf "$root"; fi
}
trap cleanup EXIT
[ -n "${KEEP:-}" ] && echo "logs kept in $root/logs"
tree="$root/tree"
mkdir -p "$root/logs"
udevfixture="$top/tests/fixtures/udev/usb-sandisk-ultra-usb3-rpi4.db-converted.txt"

# The disk: a loop device over 20 MiB of 0xEE bytes, so that a copy shows
# where it ended.
devbytes=$((20 << 20))
head -c "$devbytes" /dev/zero | tr '\0' '\356' >"$root/device.img"
sandbox_attach "$root/device.img"
loop=$sandbox_loop
majmin="$sandbox_major:$sandbox_minor"

# The one disk of most paths: sda, a 20 MiB USB stick with its udev record,
# its partition sda1, and an empty card reader slot sdb (size 0, no table
# line). Its major:minor and node are the loop device's.
onedisk() {
  sandbox_disk "$tree" sda "$sandbox_major" "$sandbox_minor" $((devbytes / 512))
  mkdir -p "$tree/sys/sda/sda1"
  printf '1\n' >"$tree/sys/sda/sda1/partition"
  ln -s sda/sda1 "$tree/sys/sda1"
  cp "$udevfixture" "$tree/run/udev/data/b$majmin"
  sandbox_disk "$tree" sdb 8 16 0
  sandbox_node "$tree" sda "$sandbox_major" "$sandbox_minor"
}

failed=0
# runpath NAME INPUT EXPECTED-STATUS ARGS...: one run under valgrind in the
# sandbox, with INPUT on standard input; prints the result line.
runpath() {
  local name=$1 input=$2 expect=$3
  shift 3
  local log="$root/logs/$name.log" out="$root/logs/$name.out" err="$root/logs/$name.err"
  local status=0
  printf '%b' "$input" | sandbox_run "$tree" \
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

sandbox_tree "$tree"
runpath missing-image '' 1 missing.img

sandbox_tree "$tree"
printf 'image data\n' >"$tree/work/disk.img"
runpath no-disk '' 1 disk.img

# Every invalid answer at the drive prompt, with one listed disk (index 0)
# and one unlisted slot (index 1).
for answer in 'q\n' '-1\n' '1\n' '2\n' '99999999999\n' '\n\n' ''; do
  sandbox_tree "$tree"
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
sandbox_tree "$tree"
onedisk
printf 'image data\n' >"$tree/work/disk.img"
runpath dir-mode-then-q '0\nq\n' 1

sandbox_tree "$tree"
onedisk
printf 'image data\n' >"$tree/work/disk.img"
printf '\n  \n%s\n\n' disk.img >"$tree/work/images.txt"
runpath list-mode-then-q '0\nq\n' 1 images.txt unused

# A good copy: a full chunk of 10,000,384 bytes and a last chunk of 1,000
# bytes, which is padded with 24 zero bytes.
sandbox_tree "$tree"
onedisk
head -c 10001384 /dev/urandom >"$root/image"
cp "$root/image" "$tree/work/disk.img"
runpath good-copy '0\n' 0 disk.img
{ cat "$root/image"; head -c 24 /dev/zero; } >"$root/expected"
written=$(stat -c %s "$root/expected")
if cmp -s -n "$written" "$root/expected" "$loop" &&
  cmp -s -n $((devbytes - written)) -i "$written:0" "$loop" \
    <(head -c $((devbytes - written)) /dev/zero | tr '\0' '\356'); then
  echo "    device: the image and 24 zero bytes, its other bytes untouched"
else
  echo "    device: NOT the image, its padding and untouched bytes after them"
  failed=1
fi

# Failed copies: a directory as the image (its first read fails) and a disk
# whose node is missing under /dev.
sandbox_tree "$tree"
onedisk
mkdir "$tree/work/imgdir"
runpath failed-copy-dir '0\n' 1 imgdir

sandbox_tree "$tree"
onedisk
rm "$tree/dev/sda"
printf 'image data\n' >"$tree/work/disk.img"
runpath failed-copy-no-node '0\n' 1 disk.img

[ $failed -eq 0 ] && echo "valgrind: every path clean" || echo "valgrind: findings above"
exit $failed
