#!/usr/bin/env bash
# Runs a command in this clone inside a Debian 13 (trixie) system, whatever Debian the machine
# runs: a tree made with debootstrap, with the clone mounted at /src in it and zk's packages
# installed there (scripts/install-deps.sh). CI builds and tests zk there beside the machine's own
# Debian 12.
#
#   scripts/debian13.sh COMMAND [ARG...]     run COMMAND in /src inside the tree, as root
#
# The tree is kept in ZK_DEBIAN13_TREE (default /var/cache/zk/debian13), outside the clone, and
# reused when it is whole; one that is missing or broken is made again. When this script ends,
# every process that runs inside the tree is stopped by its id and the tree's mounts are undone.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
tree=${ZK_DEBIAN13_TREE:-/var/cache/zk/debian13}
suite=trixie
ready=$tree/.zk-tree-ready

[ $# -gt 0 ] || { echo "usage: $0 COMMAND [ARG...]" >&2; exit 2; }
[ "$(id -u)" -eq 0 ] || { echo "$0: making and entering the tree needs root" >&2; exit 2; }

# The mount points under the tree, deepest first.
tree_mounts() {
  awk -v t="$tree" '$2 == t || index($2, t "/") == 1 { print $2 }' /proc/self/mounts | sort -r
}

# Every process whose root directory is the tree: started inside it.
tree_pids() {
  local p link
  for p in /proc/[0-9]*; do
    link=$(readlink "$p/root" 2>/dev/null) || continue
    [ "$link" = "$tree" ] && echo "${p#/proc/}"
  done
  return 0
}

stop_inside() {
  local pids left i
  pids=$(tree_pids)
  [ -n "$pids" ] || return 0
  # shellcheck disable=SC2086
  kill -TERM $pids 2>/dev/null || true
  for i in $(seq 50); do
    left=$(tree_pids)
    [ -n "$left" ] || return 0
    sleep 0.1
  done
  # shellcheck disable=SC2086
  kill -KILL $left 2>/dev/null || true
  sleep 0.2
}

undo_mounts() {
  local m
  for m in $(tree_mounts); do
    umount "$m" 2>/dev/null || umount -l "$m"
  done
}

cleanup() {
  stop_inside
  undo_mounts
}

# A tree is whole when it was finished (the mark is written last), says Debian 13 and runs a
# program.
tree_whole() {
  [ -f "$ready" ] && grep -q '^13' "$tree/etc/debian_version" 2>/dev/null &&
    chroot "$tree" /bin/true 2>/dev/null
}

# The Debian archive this machine's apt uses, for the tree's own apt; debootstrap's default when
# none is found.
archive() {
  local uri
  uri=$(awk '/^URIs:/ { print $2; exit }' /etc/apt/sources.list.d/debian.sources 2>/dev/null || true)
  [ -n "$uri" ] || uri=$(awk '$1 == "deb" && $2 !~ /security/ { print $2; exit }' \
    /etc/apt/sources.list 2>/dev/null || true)
  case "$uri" in
    */debian | */debian/) echo "${uri%/}" ;;
  esac
}

make_tree() {
  echo "debian13: making the Debian 13 tree in $tree" >&2
  undo_mounts
  # Never through a mount still in place (the clone is bound into the tree).
  [ -z "$(tree_mounts)" ] || { echo "debian13: $tree still has mounts" >&2; exit 1; }
  rm -rf --one-file-system "$tree"
  if ! command -v debootstrap >/dev/null; then
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends debootstrap >/dev/null
  fi
  mkdir -p "$(dirname "$tree")"
  # shellcheck disable=SC2046
  debootstrap --variant=minbase "$suite" "$tree" $(archive) >"$tree.log" 2>&1 ||
    { tail -20 "$tree.log" >&2; echo "debian13: debootstrap failed (log: $tree.log)" >&2; exit 1; }
  touch "$ready"
}

stop_inside
undo_mounts
tree_whole || make_tree
trap cleanup EXIT
trap 'exit 130' INT TERM

mkdir -p "$tree/src"
mount -t proc proc "$tree/proc"
mount --bind /dev "$tree/dev"
mount -t devpts -o newinstance,ptmxmode=0666 devpts "$tree/dev/pts"
mount -t tmpfs -o mode=1777 tmpfs "$tree/dev/shm"
mount --bind "$root" "$tree/src"
cp /etc/resolv.conf "$tree/etc/resolv.conf"

inside() {
  chroot "$tree" /usr/bin/env -i PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
    HOME=/root LANG=C.UTF-8 TERM="${TERM:-dumb}" CI="${CI:-}" /bin/bash -c 'cd /src && "$@"' bash "$@"
}

echo "debian13: Debian $(cat "$tree/etc/debian_version"), installing zk's packages" >&2
inside scripts/install-deps.sh
inside "$@"
