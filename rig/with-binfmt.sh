#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a command that executes ARM programs as if they were the build
# machine's own, e.g. mmdebstrap making an arm64 or armhf root whose
# packages' maintainer scripts must run:
#
#   rig/with-binfmt.sh COMMAND [ARG...]
#
# COMMAND runs as root in a user namespace of its own (the machine's users
# 0-65535 mapped onto themselves, and its own mount and PID namespaces)
# with a binfmt_misc instance of its own, in which qemu-user-static's
# aarch64 and arm interpreters are registered (the F flag: the interpreter
# is opened now, so it works in a chroot too). Nothing is registered for
# the machine itself: its binfmt_misc is untouched, and other programs on
# it see no change. Needs Linux 6.7 or later (binfmt_misc per user
# namespace) and the qemu-user-static package.
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: rig/with-binfmt.sh COMMAND [ARG...]" >&2; exit 2; }

for a in aarch64 arm; do
  if [ ! -r "/usr/lib/binfmt.d/qemu-$a.conf" ]; then
    echo "rig: no /usr/lib/binfmt.d/qemu-$a.conf: apt-get install qemu-user-static" >&2
    exit 1
  fi
done

fifo=$(mktemp -u /tmp/vehcan-binfmt.XXXXXX)
mkfifo "$fifo"
trap 'rm -f "$fifo"' EXIT
# The child waits on the fifo until its user and group mappings are written.
unshare --user --mount --pid --fork --kill-child sh -c '
  read -r _ <"$0"
  mount -t proc proc /proc
  mount -t binfmt_misc binfmt_misc /proc/sys/fs/binfmt_misc
  for a in aarch64 arm; do
    sed -n "/^:/{p;q}" /usr/lib/binfmt.d/qemu-$a.conf >/proc/sys/fs/binfmt_misc/register
  done
  exec "$@"' "$fifo" "$@" &
pid=$!
own=$(readlink /proc/self/ns/user)
while [ "$(readlink "/proc/$pid/ns/user" 2>/dev/null || echo "$own")" = "$own" ]; do
  kill -0 "$pid" 2>/dev/null || { wait "$pid"; exit; }
  sleep 0.05
done
echo '0 0 65536' >"/proc/$pid/uid_map"
echo '0 0 65536' >"/proc/$pid/gid_map"
echo go >"$fifo"
wait "$pid"
