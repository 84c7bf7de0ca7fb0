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
# TREE_ONLY=1 stops once the tree is there.
# Usage: scripts/other-release.sh SUITE [MIRROR]   (as root; takes minutes)
# MIRROR: by default this machine's first apt source of the suite's kind
# (Debian or Ubuntu), and for Ubuntu, failing that, the Ubuntu archive.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/common.sh
. "$top/scripts/common.sh"
suite=${1:?usage: other-release.sh SUITE [MIRROR]}
[ "$(id -u)" -eq 0 ] || die "run as root (debootstrap, mounts)"
base=${KELPFALL_RELEASES:-/var/tmp/kelpfall-releases}
tree=$base/$suite
scripts=/usr/share/debootstrap/scripts
mkdir -p "$base"
"$top/scripts/deps.sh" debootstrap git >&2

# Ubuntu: a suite named here, or one that debootstrap builds as it builds gutsy.
ubuntu=false
case $suite in focal | jammy | noble | oracular | plucky | questing) ubuntu=true ;; esac
[ "$(readlink "$scripts/$suite" 2>/dev/null)" != gutsy ] || ubuntu=true
# The mirror: the first of this machine's apt sources (security updates
# aside) of the suite's kind, Ubuntu or Debian.
mirror=${2:-$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.{list,sources} 2>/dev/null |
  grep -E '^(deb|URIs:)[[:space:]]' | grep -oE 'https?://[^ ]+' | grep -v security |
  if $ubuntu; then grep ubuntu; else grep -v ubuntu; fi | head -1 || true)}
$ubuntu && mirror=${mirror:-http://archive.ubuntu.com/ubuntu}
[ -n "$mirror" ] || die "no mirror in the apt sources; give one"

exec 9>"$base/$suite.lock"
flock 9
if [ ! -e "$tree/.kelpfall-ready" ]; then
  # An unfinished tree from a run that died: never removed across a mount.
  findmnt -rn -o TARGET | grep -q "^$tree/" && die "$tree is unfinished and has mounts; unmount them"
  rm -rf --one-file-system "$tree"
  opts=(--variant=minbase)
  script=()
  if $ubuntu; then
    # libgtest-dev, clang-tidy, cppcheck and valgrind are in universe.
    opts+=("--components=main,universe")
    [ -e "$scripts/$suite" ] || script=("$scripts/gutsy")
    # Debian 12 has no Ubuntu archive keyring: then only debootstrap's own
    # download goes unchecked; apt in the tree checks with the keyring of
    # the tree's own ubuntu-keyring package.
    key=/usr/share/keyrings/ubuntu-archive-keyring.gpg
    if [ -e $key ]; then
      opts+=("--keyring=$key")
    else
      echo "other-release.sh: no Ubuntu archive keyring here; debootstrap --no-check-gpg" >&2
      opts+=(--no-check-gpg)
    fi
  fi
  echo "== debootstrap $suite from $mirror into $tree" >&2
  if ! debootstrap "${opts[@]}" "$suite" "$tree" "$mirror" "${script[@]}" >"$base/$suite.log" 2>&1; then
    tail -20 "$base/$suite.log" >&2
    exit 1
  fi
  touch "$tree/.kelpfall-ready"
fi
flock -u 9
[ "${TREE_ONLY:-}" != 1 ] || exit 0

# The run: its own clone, and binds that only its mount namespace sees.
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
cmd=(env "${envs[@]}" scripts/test.sh)
[ "${SUDO:-}" != 1 ] || cmd=(sudo "${envs[@]}" scripts/test.sh)
status=0
# The tree is bound onto itself: the tests make / private, which needs a
# mount point.
unshare -m --propagation slave bash -c '
  set -e
  t=$1
  shift
  trap "umount -R \"\$t\"" EXIT
  mount --bind "$t" "$t"
  mount --rbind /dev "$t/dev"
  mount --rbind /sys "$t/sys"
  mount -t proc proc "$t/proc"
  chroot "$t" "$@"' sh "$tree" "${as[@]}" \
  env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$home" USER="${AS:-root}" \
  bash -c 'cd "$1" && exec "${@:2}"' sh "${work#"$tree"}/kelpfall" "${cmd[@]}" || status=$?
rm -rf --one-file-system "$work"
exit $status
