#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Prepares the guest side of the rig for an ARM architecture and prints its
# directory:
#
#   rig/target-root.sh ARCH        (arm64)
#
# Debian's packages of that architecture, fetched with apt-get download and
# unpacked with dpkg -x into a cache (never installed on the build machine):
# the kernel with its modules (module index made with depmod), a static
# busybox for init, the shell and the small tools, and iproute2 with the
# libraries it links. The result, in $VEHCAN_RIG_CACHE/ARCH
# (default /var/cache/vehcan-rig/ARCH):
#   root/       the unpacked packages
#   bin/        what the guest puts first on PATH: busybox applets, sh (dash)
#               and ip (a wrapper that finds iproute2's libraries in root/)
#   kernel      the kernel's release, e.g. 6.1.0-57-arm64
# The C library and the dynamic loader come from the build machine's
# multiarch libc6 of the architecture (/lib/<triplet>), as for qemu-user.
set -euo pipefail

arch=${1:?usage: rig/target-root.sh ARCH}
case "$arch" in
  arm64) triplet=aarch64-linux-gnu qemu_user=qemu-aarch64 ;;
  *) echo "rig: no guest for architecture $arch (arm64 only)" >&2; exit 2 ;;
esac
cache=${VEHCAN_RIG_CACHE:-/var/cache/vehcan-rig}/$arch
mkdir -p "$cache"

# dash is the guest's /bin/sh (busybox's own shell runs its applets before
# anything on PATH, and so would never reach iproute2's ip); iproute2 and
# the libraries its ip links (and theirs); libc6 is the host's.
packages="busybox-static dash iproute2 libbpf1 libelf1 libmnl0 libbsd0 libmd0 libcap2 zlib1g"

exec 9>"$cache.lock"
flock 9

kernel_package=$(apt-cache depends "linux-image-$arch:$arch" 2>/dev/null |
                 sed -n 's/^ *Depends: \(linux-image-[0-9][^:]*\).*/\1/p' | head -1)
if [ -z "$kernel_package" ]; then
  echo "rig: apt knows no linux-image-$arch:$arch (dpkg --add-architecture $arch; apt-get update)" >&2
  exit 1
fi
want="$kernel_package $packages"
if [ -s "$cache/stamp" ] && [ "$(cat "$cache/stamp")" = "$want" ]; then
  echo "$cache"
  exit 0
fi

rm -rf "$cache/root" "$cache/bin" "$cache/debs" "$cache/stamp"
mkdir -p "$cache/root" "$cache/bin" "$cache/debs"
names=()
for p in $want; do names+=("$p:$arch"); done
# apt's sandbox user cannot write into root's cache: download as root.
(cd "$cache/debs" && apt-get download -q -o APT::Sandbox::User=root "${names[@]}" >&2)
for deb in "$cache"/debs/*.deb; do
  dpkg -x "$deb" "$cache/root"
done
rm -rf "$cache/debs"

release=${kernel_package#linux-image-}
depmod -b "$cache/root" "$release"
echo "$release" >"$cache/kernel"

for applet in $("$qemu_user" "$cache/root/bin/busybox" --list); do
  case "$applet" in
    ip | sh | ash) ;;
    *) ln -s ../root/bin/busybox "$cache/bin/$applet" ;;
  esac
done
ln -s ../root/bin/dash "$cache/bin/sh"
libs="$cache/root/lib/$triplet:$cache/root/usr/lib/$triplet"
cat >"$cache/bin/ip" <<WRAP
#!/bin/sh
LD_LIBRARY_PATH=$libs exec $cache/root/bin/ip "\$@"
WRAP
chmod +x "$cache/bin/ip"
echo "$want" >"$cache/stamp"
echo "$cache"
