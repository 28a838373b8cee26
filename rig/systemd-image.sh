#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The disk image of the systemd-booted rig guest, and prints its path:
#
#   rig/systemd-image.sh [--arch amd64|arm64|armhf] DEB...
#
# A Debian 12 root of the architecture (default amd64, the build
# machine's) made with mmdebstrap (minbase, systemd-sysv, iproute2,
# mosquitto and its clients, on amd64 man-db, and every package that the
# given .deb files depend on, except the project's own), on a raw ext4
# image with:
#   - no root password, a serial console, the host name "gateway";
#   - rig-step.service: at each boot, once the system is up, mounts the
#     9p share "rig" at /run/rig and runs /run/rig/step.sh there.
# An ARM root's maintainer scripts run under qemu-user through a
# binfmt_misc of their own (rig/with-binfmt.sh); the build machine's dpkg
# never learns of the architecture. The image is cached in
# $VEHCAN_RIG_CACHE/systemd-ARCH (default /var/cache/vehcan-rig/systemd-ARCH)
# under the hash of its package list and of this script: it is made again
# only when either changes. Runs use a copy of it, never the image itself.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
arch=amd64
if [ "${1:-}" = --arch ]; then
  arch=${2:?}
  shift 2
fi
[ $# -gt 0 ] || { echo "usage: rig/systemd-image.sh [--arch amd64|arm64|armhf] DEB..." >&2; exit 2; }
case "$arch" in
  amd64) emulate=() ;;
  arm64 | armhf)
    bash "$top/scripts/install-deps.sh" rig-arm >/dev/null
    emulate=(bash "$top/rig/with-binfmt.sh")
    ;;
  *) echo "rig: no systemd guest for architecture $arch" >&2; exit 2 ;;
esac
cache=${VEHCAN_RIG_CACHE:-/var/cache/vehcan-rig}/systemd-$arch
mkdir -p "$cache"

# What the project's packages need from Debian: the first alternative of
# each Depends entry, without versions, minus the project's own packages.
own=" "
for deb in "$@"; do own="$own$(dpkg-deb -f "$deb" Package) "; done
needed=$(for deb in "$@"; do dpkg-deb -f "$deb" Depends; done |
  tr ',' '\n' | sed -e 's/|.*//' -e 's/(.*)//' -e 's/[[:space:]]//g' |
  while read -r p; do
    case "$own" in *" $p "*) ;; *) [ -z "$p" ] || echo "$p" ;; esac
  done | sort -u | tr '\n' ' ')
packages="systemd-sysv udev iproute2 net-tools procps kmod mosquitto mosquitto-clients $needed"
# On x86, man-db: the package lifecycle's checks read the installed pages.
[ "$arch" != amd64 ] || packages="$packages man-db"
key=$( (echo "$arch $packages"; grep -v "^ *#" "$0") | sha256sum | cut -c1-16)
image=$cache/root-$key.img

exec 9>"$cache/lock"
flock 9
if [ -s "$image" ]; then
  echo "$image"
  exit 0
fi

work=$(mktemp -d "$cache/make.XXXXXX")
trap 'rm -rf "$work"' EXIT
echo "rig: making the $arch systemd guest's root ($packages)" >&2
started=$SECONDS
foreign=()
# An ARM root: /sys cannot be mounted in with-binfmt.sh's user namespace
# (no package needs it), and /usr is merged from the start (mmdebstrap's
# hook) rather than by usrmerge's script under emulation.
[ "$arch" = amd64 ] || foreign=(--mode=root --architectures="$arch" --skip=chroot/mount/sys
  --hook-dir=/usr/share/mmdebstrap/hooks/merged-usr)
"${emulate[@]}" mmdebstrap --quiet --variant=minbase "${foreign[@]}" \
  --include="$(echo "$packages" | tr ' ' ',' | sed 's/,*$//')" \
  bookworm "$work/root.tar" /etc/apt/sources.list.d/debian.sources >&2
echo "rig: the $arch root took $((SECONDS - started)) s" >&2

mkdir "$work/root"
tar -C "$work/root" -xf "$work/root.tar"
r=$work/root
echo gateway >"$r/etc/hostname"
printf '127.0.0.1 localhost\n127.0.1.1 gateway\n' >"$r/etc/hosts"
# root logs in on the console without a password (a test machine).
sed -i 's/^root:[^:]*:/root::/' "$r/etc/shadow"
: >"$r/etc/fstab"
# A journal on disk: the lost boot's is read after the power cut.
mkdir -p "$r/var/log/journal"
cp "$top/rig/systemd/rig-step.service" "$r/etc/systemd/system/"
ln -sf /etc/systemd/system/rig-step.service "$r/etc/systemd/system/multi-user.target.wants/"
# Nothing the tests do not need at boot.
for unit in apt-daily.timer apt-daily-upgrade.timer e2scrub_all.timer fstrim.timer \
            dpkg-db-backup.timer systemd-timesyncd.service; do
  rm -f "$r/etc/systemd/system/"*.wants/"$unit"
done
# The image: the root's size plus room for the packages and the spool.
size=$(( $(du -sm "$r" | cut -f1) + 512 ))
mke2fs -q -t ext4 -L gateway -d "$r" "$work/root.img" "${size}M" >&2
mv "$work/root.img" "$image"
# Older images of other package lists go.
find "$cache" -maxdepth 1 -name 'root-*.img' ! -name "root-$key.img" -delete
echo "$image"
