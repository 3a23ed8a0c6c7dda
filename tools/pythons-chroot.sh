#!/usr/bin/env bash
# Runs one command inside a Debian root, as tools/pythons.sh needs it:
#   tools/pythons-chroot.sh ROOT [NAME=VALUE...] COMMAND [ARG...]
# with /proc, /sys (read-only), /dev, a private /dev/shm and the checkout
# (read-only, at /src) mounted, and an environment of its own: none of the
# caller's variables reach the command, only the NAME=VALUE pairs given.
#
# The mounts live in a mount namespace of this command's own: nothing outside
# ever sees them (a `rm -rf build` run meanwhile cannot reach /dev or the
# checkout through the root), and the kernel drops them when the last process
# in it ends, however it ends. The trap unmounts them first whenever it can.
set -euo pipefail

if [[ ${1-} != --in-namespace ]]; then
  exec unshare --mount --propagation private -- "$0" --in-namespace "$@"
fi
shift
root=$(realpath "$1")
shift
checkout=$(realpath "$(dirname "$0")/..")

mounted=()
unmount_all() {
  local i
  for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do
    umount -R "${mounted[i]}" 2>/dev/null || umount -R -l "${mounted[i]}" || true
  done
}
trap unmount_all EXIT

attach() { # attach TARGET MOUNT-ARGS...: mounts, and remembers it for the trap
  local target=$root/$1
  shift
  mkdir -p "$target"
  mount "$@" "$target"
  mounted+=("$target")
}

attach proc -t proc proc
attach sys -t sysfs -o ro sysfs
attach dev --rbind /dev
attach dev/shm -t tmpfs -o mode=1777,nosuid,nodev shm
attach src --bind -o ro "$checkout"

path=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
# Not exec: the trap must outlive the command.
env -i HOME=/root PATH="$path" LANG=C.UTF-8 TERM=dumb DEBIAN_FRONTEND=noninteractive \
  chroot "$root" /usr/bin/env "$@"
