#!/usr/bin/env bash
# Runs the test command on another Debian or Ubuntu release: builds (once) a
# debootstrap tree of SUITE under ${KELPFALL_RELEASES:-/var/tmp/kelpfall-releases}/SUITE,
# marks it finished with SUITE/.kelpfall-ready, then in a private mount
# namespace binds /dev, /proc and /sys into it, clones this checkout's
# committed HEAD into it and runs scripts/test.sh there as root, with CI as
# given. AS=NAME runs it as the user NAME instead (made in the tree, with
# sudo rights for apt-get), SUDO=1 with AS as "sudo scripts/test.sh" by NAME.
# Usage: scripts/other-release.sh SUITE [MIRROR]   (root; takes minutes)
# MIRROR defaults to this machine's apt source, or to the Ubuntu archive for
# an Ubuntu suite. TREE_ONLY=1 stops once the tree is there. A lock keeps two runs from building the same tree at once.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
suite=${1:?usage: other-release.sh SUITE [MIRROR]}
[ "$(id -u)" -eq 0 ] || { echo "other-release.sh: run as root (debootstrap, mounts)" >&2; exit 1; }
base=${KELPFALL_RELEASES:-/var/tmp/kelpfall-releases}
tree=$base/$suite
mkdir -p "$base"
"$top/scripts/deps.sh" debootstrap git >&2

ubuntu=false
case $suite in focal | jammy | noble | oracular | plucky | questing) ubuntu=true ;; esac
[ "$(readlink "/usr/share/debootstrap/scripts/$suite" 2>/dev/null)" = gutsy ] && ubuntu=true
mirror=${2:-}
if [ -z "$mirror" ]; then
  mirror=$(cat /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources \
    2>/dev/null | grep -E '^(deb|URIs:)[[:space:]]' | grep -oE 'https?://[^ ]+' | grep -v security |
    if $ubuntu; then grep ubuntu; else grep -v ubuntu; fi | head -1) || true
  $ubuntu && [ -z "$mirror" ] && mirror=http://archive.ubuntu.com/ubuntu
  [ -n "$mirror" ] || { echo "other-release.sh: no mirror in the apt sources; give one" >&2; exit 1; }
fi

exec 9>"$base/$suite.lock"
flock 9
if [ ! -e "$tree/.kelpfall-ready" ]; then
  if [ -e "$tree" ]; then
    # An unfinished tree from a run that died: never remove across a mount.
    if findmnt -rn -o TARGET | grep -q "^$tree/"; then
      echo "other-release.sh: $tree is unfinished and has mounts in it; unmount them first" >&2
      exit 1
    fi
    rm -rf --one-file-system "$tree"
  fi
  opts=(--variant=minbase)
  script=()
  if $ubuntu; then
    # libgtest-dev, clang-tidy, cppcheck and valgrind are in universe.
    opts+=(--components=main,universe)
    [ -e "/usr/share/debootstrap/scripts/$suite" ] || script=(/usr/share/debootstrap/scripts/gutsy)
    if [ -e /usr/share/keyrings/ubuntu-archive-keyring.gpg ]; then
      opts+=(--keyring=/usr/share/keyrings/ubuntu-archive-keyring.gpg)
    else
      # Debian 12 ships no Ubuntu archive keyring. Only debootstrap's own
      # download goes unchecked: apt in the tree checks with the keyring
      # that the tree's ubuntu-keyring package installs.
      echo "other-release.sh: no Ubuntu archive keyring here; debootstrap --no-check-gpg" >&2
      opts+=(--no-check-gpg)
    fi
  fi
  echo "== debootstrap $suite from $mirror into $tree" >&2
  debootstrap "${opts[@]}" "$suite" "$tree" "$mirror" "${script[@]}" >"$base/$suite.log" 2>&1 ||
    { tail -20 "$base/$suite.log" >&2; exit 1; }
  touch "$tree/.kelpfall-ready"
fi
flock -u 9
[ "${TREE_ONLY:-}" = 1 ] && exit 0

# The run: its own clone, binds that only this mount namespace sees.
cp /etc/resolv.conf "$tree/etc/resolv.conf"
home=/root
if [ -n "${AS:-}" ]; then
  home=/home/$AS
  chroot "$tree" id -u "$AS" >/dev/null 2>&1 || chroot "$tree" useradd -m -s /bin/bash "$AS"
  if [ ! -x "$tree/usr/bin/sudo" ]; then
    chroot "$tree" env DEBIAN_FRONTEND=noninteractive apt-get -qq update >&2
    chroot "$tree" env DEBIAN_FRONTEND=noninteractive apt-get -y -qq install sudo >&2
  fi
  echo "$AS ALL=(ALL) NOPASSWD: ALL" >"$tree/etc/sudoers.d/kelpfall-$AS"
fi
work=$(mktemp -d "$tree$home/kelpfall.XXXXXX")
git clone -q "$top" "$work/kelpfall"
[ -n "${AS:-}" ] && chroot "$tree" chown -R "$AS:" "${work#"$tree"}"
# The caller's CI, FUZZ_SECONDS and locale (LANG unset stays unset).
envs=(CI="${CI:-}" FUZZ_SECONDS="${FUZZ_SECONDS:-120}")
[ -n "${LANG+set}" ] && envs+=(LANG="$LANG")
cmd=(env "${envs[@]}" scripts/test.sh)
[ "${SUDO:-}" = 1 ] && cmd=(sudo "${envs[@]}" scripts/test.sh)
as=()
[ -n "${AS:-}" ] && as=(runuser -u "$AS" --)
status=0
unshare -m --propagation slave bash -c '
  t=$1
  shift
  trap "umount -R \"\$t\"" EXIT
  # The tree bound onto itself: the tests make "/" private, which needs a mount point.
  mount --bind "$t" "$t" && mount --rbind /dev "$t/dev" && mount --rbind /sys "$t/sys" &&
    mount -t proc proc "$t/proc" || exit 1
  chroot "$t" "$@"' sh "$tree" "${as[@]}" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME="$home" \
  USER="${AS:-root}" bash -c 'cd "$1" && exec "${@:2}"' sh "${work#"$tree"}/kelpfall" "${cmd[@]}" || status=$?
rm -rf --one-file-system "$work"
exit $status
