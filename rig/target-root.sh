#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Prepares the guest side of the rig for an ARM architecture and prints its
# directory:
#
#   rig/target-root.sh ARCH        (arm64)
#
# A root of Debian 12's packages (main suite) made with mmdebstrap
# --variant=extract, dependencies resolved, never installed on the build
# machine: the "rig-target" list of scripts/deps.d (the kernel with its
# modules, a static busybox for init and the small tools, dash, iproute2)
# and, for arm64 and armhf both, the "sysroot" list, whose dependencies
# are the runtime of the cross-built programs (the dynamic loaders, libc6,
# libstdc++6 and the libraries the tree links). /bin, /sbin and /lib are
# links into /usr, as on Debian 12, so the guest puts the root's usr/lib in
# place of the build machine's and every ARM program finds its loader and
# libraries there. The result, in $VEHCAN_RIG_CACHE/ARCH (default
# /var/cache/vehcan-rig/ARCH), made again when its package list changes:
#   root/       the extracted packages (modules indexed with depmod;
#               absolute symbolic links made relative)
#   bin/        what the guest puts first on PATH: busybox applets, sh (dash)
#               and ip
#   kernel      the kernel's release, e.g. 6.1.0-57-arm64
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/debian-root.sh
. "$top/scripts/debian-root.sh"

arch=${1:?usage: rig/target-root.sh ARCH}
case "$arch" in
  arm64) qemu_user=qemu-aarch64 foreign=armhf ;;
  *) echo "rig: no guest for architecture $arch (arm64 only)" >&2; exit 2 ;;
esac
cache=${VEHCAN_RIG_CACHE:-/var/cache/vehcan-rig}/$arch
mkdir -p "$(dirname "$cache")"

guest=$(bash "$top/scripts/install-deps.sh" --list rig-target)
runtime=$(bash "$top/scripts/install-deps.sh" --list sysroot)
packages=()
for p in $guest $runtime; do packages+=("$p:$arch"); done
for p in $runtime; do packages+=("$p:$foreign"); done
mirror=$(debian_mirror)
want="$arch,$foreign $debian_suite $mirror ${packages[*]}"

exec 9>"$cache.lock"
flock 9
if [ -s "$cache/stamp" ] && [ "$(cat "$cache/stamp")" = "$want" ]; then
  echo "$cache"
  exit 0
fi

echo "rig: making the $arch guest's root in $cache from $mirror $debian_suite" >&2
rm -rf "$cache" "$cache.new"
mkdir -p "$cache.new/bin"
include=$(IFS=,; echo "${packages[*]}")
mmdebstrap --quiet --variant=extract --architectures="$arch,$foreign" --include="$include" \
  --hook-dir=/usr/share/mmdebstrap/hooks/merged-usr --aptopt='Acquire::Retries "3"' \
  "$debian_suite" "$cache.new/root" "deb $mirror $debian_suite main" >&2
relative_links "$cache.new/root"
rm -rf "$cache.new/root/var/lib/apt/lists" "$cache.new/root/var/cache/apt"

kernels=("$cache.new"/root/boot/vmlinuz-*)
if [ ${#kernels[@]} -ne 1 ] || [ ! -e "${kernels[0]}" ]; then
  echo "rig: expected one kernel in the guest's root, found: ${kernels[*]}" >&2
  exit 1
fi
release=${kernels[0]##*/vmlinuz-}
depmod -b "$cache.new/root" "$release"
echo "$release" >"$cache.new/kernel"

for applet in $("$qemu_user" -L "$cache.new/root" "$cache.new/root/bin/busybox" --list); do
  case "$applet" in
    ip | sh | ash) ;;
    *) ln -s ../root/bin/busybox "$cache.new/bin/$applet" ;;
  esac
done
ln -s ../root/bin/dash "$cache.new/bin/sh"
ln -s ../root/bin/ip "$cache.new/bin/ip"
mv "$cache.new" "$cache"
echo "$want" >"$cache/stamp"
echo "$cache"
