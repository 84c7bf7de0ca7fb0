# shellcheck shell=bash disable=SC2034 # as_caller: used by the scripts that source this
# Sourced by the scripts that need it, after they set $top to the source
# tree: die, skip, and the sudo-to-user step.
#
# Run through sudo by a normal user who can write the source tree, the
# scripts build and fuzz as that user, so that build/ stays theirs; only
# installing packages, loop devices, mount namespaces and the tests that
# need them use root. as_caller is the command prefix that runs a command as
# that user; it is empty when there is none (run as root itself, or as a
# normal user without sudo).

# die MESSAGE: MESSAGE on standard error, then exit status 1.
die() {
  echo "$(basename "$0"): $1" >&2
  exit 1
}

# skip MESSAGE: for a check that ctest runs, MESSAGE, then exit status 77,
# which ctest counts as skipped.
skip() {
  echo "$(basename "$0"): $1"
  exit 77
}

: "${top:?set top to the source tree before sourcing common.sh}"
as_caller=()
if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_USER:-}" ] && [ "$SUDO_USER" != root ] &&
  runuser -u "$SUDO_USER" -- test -w "$top"; then
  as_caller=(runuser -u "$SUDO_USER" --)
fi
