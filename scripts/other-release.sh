#!/usr/bin/env bash
# Runs the test command on another Debian or Ubuntu release, SUITE (bookworm,
# trixie, noble, ...):
# 1. builds, once, a debootstrap tree of SUITE in
#    ${KELPFALL_RELEASES:-/var/tmp/kelpfall-releases}/SUITE, marked finished
#    by SUITE/.kelpfall-ready (a lock keeps two runs from building it at once);
# 2. in a private mount namespace binds /dev, /proc and /sys into it, clones
#    this checkout's last commit into it and runs scripts/test.sh there as
#    root, with CI, FUZZ_SECONDS and LANG as given (an unset LANG stays unset).
# AS=NAME runs it as the user NAME instead (made in the tree, with sudo rights
# for apt-get); AS=NAME SUDO=1 as "sudo scripts/test.sh" typed by NAME.
# Usage: scripts/other-release.sh SUITE [MIRROR]   (as root; takes minutes)
# MIRROR: by default debootstrap's for SUITE (Debian's or Ubuntu's archive).
# A suite this debootstrap does not know (an Ubuntu release newer than it)
# is built as it builds every Ubuntu release since gutsy.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/common.sh
. "$top/scripts/common.sh"
suite=${1:?usage: other-release.sh SUITE [MIRROR]}
[ "$(id -u)" -eq 0 ] || die "run as root (debootstrap, mounts)"
base=${KELPFALL_RELEASES:-/var/tmp/kelpfall-releases}
tree=$base/$suite
mkdir -p "$base"
"$top/scripts/deps.sh" debootstrap git >&2

exec 9>"$base/$suite.lock"
flock 9
if [ ! -e "$tree/.kelpfall-ready" ]; then
  # An unfinished tree from a run that died: never removed across a mount.
  findmnt -rn -o TARGET | grep -q "^$tree/" && die "$tree is unfinished and has mounts; unmount them"
  rm -rf --one-file-system "$tree"
  scripts=/usr/share/debootstrap/scripts
  script=$scripts/$suite
  [ -e "$script" ] || script=$scripts/gutsy
  opts=(--variant=minbase)
  # Ubuntu: libgtest-dev, clang-tidy, cppcheck and valgrind are in universe.
  # Without an Ubuntu archive keyring here (Debian 12) debootstrap warns in
  # its log and leaves its own download unchecked; apt in the tree checks
  # with the keyring of the tree's own ubuntu-keyring package.
  if [ "$(readlink -f "$script")" = "$scripts/gutsy" ]; then
    opts+=("--components=main,universe")
  fi
  echo "== debootstrap $suite into $tree" >&2
  if ! debootstrap "${opts[@]}" "$suite" "$tree" "${2:-}" "$script" >"$base/$suite.log" 2>&1; then
    tail -20 "$base/$suite.log" >&2
    exit 1
  fi
  touch "$tree/.kelpfall-ready"
fi
flock -u 9

# The run: its own clone, and mounts that only its mount namespace sees and
# that end with it.
cp /etc/resolv.conf "$tree/etc/resolv.conf"
home=/root
as=()
if [ -n "${AS:-}" ]; then
  home=/home/$AS
  as=(runuser -u "$AS" --)
  chroot "$tree" id -u "$AS" >/dev/null 2>&1 || chroot "$tree" useradd -m -s /bin/bash "$AS"
  if [ ! -x "$tree/usr/bin/sudo" ]; then
    chroot "$tree" apt-get -qq update >&2
    chroot "$tree" env DEBIAN_FRONTEND=noninteractive apt-get -y -qq install sudo >&2
  fi
  echo "$AS ALL=(ALL) NOPASSWD: ALL" >"$tree/etc/sudoers.d/kelpfall-$AS"
fi
work=$(mktemp -d "$tree$home/kelpfall.XXXXXX")
git clone -q "$top" "$work/kelpfall"
[ -z "${AS:-}" ] || chroot "$tree" chown -R "$AS:" "${work#"$tree"}"
envs=(CI="${CI:-}" FUZZ_SECONDS="${FUZZ_SECONDS:-120}")
[ -z "${LANG+set}" ] || envs+=(LANG="$LANG")
cmd=(scripts/test.sh)
[ "${SUDO:-}" != 1 ] || cmd=(sudo "${envs[@]}" scripts/test.sh)
status=0
# The tree is bound onto itself: the tests make / private, which needs a
# mount point.
# shellcheck disable=SC2016 # the inner shell expands them
unshare -m --propagation slave bash -c '
  set -e
  mount --bind "$1" "$1"
  mount --rbind /dev "$1/dev"
  mount --rbind /sys "$1/sys"
  mount -t proc proc "$1/proc"
  exec chroot "$@"' sh "$tree" "${as[@]}" \
  env -i -C "${work#"$tree"}/kelpfall" PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$home" USER="${AS:-root}" \
  "${envs[@]}" "${cmd[@]}" || status=$?
rm -rf --one-file-system "$work"
exit $status
