# shellcheck shell=bash
# Sourced by demo.sh and bench.sh: fixture trees that stand over
# /sys/class/block, /run and /dev in a private mount namespace, so that
# kelpfall sees only the one loop device put there (attached and detached
# here). The tests have their own, in C++ (tests/sandbox.h), inside the test
# binary; the demo and the bench run the Release binary of build.sh, with no
# test build and no GoogleTest, and show kelpfall's dialogue as it is.
# A tree DIR holds sys (becomes /sys/class/block), run (becomes /run),
# dev (becomes /dev) and work (the working directory).

sandbox_loop="" # the loop device attached by sandbox_disk
sandbox_backing="" # its backing file

# sandbox_disk DIR FILE VENDOR: a new tree DIR (an old one is removed) whose
# only disk is a loop device over FILE (which must exist): its real sysfs
# entry linked into DIR/sys, its node in DIR/dev and a udev record naming
# it VENDOR loop_device. Sets sandbox_loop (/dev/loopN) and sandbox_majmin.
sandbox_disk() {
  rm -rf "$1"
  mkdir -p "$1/sys" "$1/run/udev/data" "$1/dev" "$1/work"
  sandbox_loop=$(losetup -f --show "$2") || return 1
  sandbox_backing=$(readlink -f "$2")
  local name=${sandbox_loop#/dev/}
  sandbox_majmin=$(cat "/sys/class/block/$name/dev")
  ln -s "$(readlink -f "/sys/class/block/$name")" "$1/sys/$name"
  mknod -m 600 "$1/dev/$name" b "${sandbox_majmin%:*}" "${sandbox_majmin#*:}"
  printf 'E:ID_VENDOR=%s\nE:ID_MODEL=loop_device\n' "$3" >"$1/run/udev/data/b$sandbox_majmin"
}

# sandbox_detach: detaches the loop device of sandbox_disk, if any. Loop
# numbers are reused at once, so a device that no longer reads our backing
# file belongs to someone else by now and is left alone. One still open
# (udev may read it a moment after kelpfall closed it) is detached by the
# kernel when the last user closes it.
sandbox_detach() {
  local file=/sys/class/block/${sandbox_loop#/dev/}/loop/backing_file
  if [ -n "$sandbox_loop" ] && [ "$(cat "$file" 2>/dev/null)" = "$sandbox_backing" ]; then
    losetup -d "$sandbox_loop"
  fi
}

# sandbox_run DIR COMMAND [ARGS...]: runs COMMAND in a private mount
# namespace over the tree DIR, in DIR/work, with this shell's standard
# input and output, /dev/null bound in from the real /dev. -n: no record in
# /run/mount/utab.
sandbox_run() {
  # shellcheck disable=SC2016 # the inner shell expands them
  unshare -m --propagation private bash -c '
    set -e
    t=$1
    shift
    : >"$t/dev/null"
    mount -n --bind /dev/null "$t/dev/null"
    mount -n --bind "$t/sys" /sys/class/block
    mount -n --bind "$t/run" /run
    mount -n --rbind "$t/dev" /dev
    cd "$t/work"
    exec "$@"' sandbox "$@"
}
