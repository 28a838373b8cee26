#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Makes the sysroot of a target architecture, when it is missing or its
# package list changed, and prints its directory:
#
#   scripts/sysroot.sh armhf|arm64
#
# The sysroot is Debian 12's main suite for that architecture: the packages
# of the "sysroot" list (scripts/deps.d/90-sysroot.txt) with their
# dependencies, extracted by mmdebstrap (--variant=extract: nothing is
# installed or run, so no emulator is needed), from the Debian mirror of the
# build machine's package sources (VEHCAN_DEBIAN_MIRROR overrides it). The
# main suite only: headers and .so links to build against need no security
# updates, and one suite keeps every architecture in step.
#
# It lives in $VEHCAN_SYSROOT_CACHE/ARCH (default /var/cache/vehcan/sysroot):
#   usr/, lib, ...   the extracted packages; absolute symbolic links are made
#                    relative, so the links resolve inside the sysroot
#   var/lib/dpkg/    a dpkg database of the extracted packages (status, each
#                    package's shlibs and symbols files, and its file list
#                    with the sysroot's own paths): with DPKG_ADMINDIR
#                    pointing here, dpkg-shlibdeps finds the packages and the
#                    minimal versions of the target's libraries
#   .vehcan-stamp    the architecture, suite, mirror and package list it was
#                    made from
# The cross toolchain files (cmake/*.cmake) build against it, and qemu-user
# runs the cross-built programs with -L on it.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/debian-root.sh
. "$here/debian-root.sh"

arch=${1:-}
case "$arch" in
  armhf | arm64) ;;
  *) echo "usage: scripts/sysroot.sh armhf|arm64" >&2; exit 2 ;;
esac
cache=${VEHCAN_SYSROOT_CACHE:-/var/cache/vehcan/sysroot}
dir=$cache/$arch

packages=$(bash "$here/install-deps.sh" --list sysroot)
mapfile -t packages <<<"$packages"
mirror=$(debian_mirror)
want="$arch $debian_suite $mirror ${packages[*]}"

mkdir -p "$cache"
exec 9>"$cache/$arch.lock"
flock 9
if [ -s "$dir/.vehcan-stamp" ] && [ "$(cat "$dir/.vehcan-stamp")" = "$want" ]; then
  echo "$dir"
  exit 0
fi

echo "sysroot: making the $arch sysroot in $dir from $mirror $debian_suite (first time: a few minutes)" >&2
started=$SECONDS
rm -rf "$dir" "$dir.new"
include=$(IFS=,; echo "${packages[*]}")
# The downloaded .deb files stay for the dpkg database, then go.
mmdebstrap --quiet --variant=extract --architectures="$arch" --include="$include" \
  --aptopt='Acquire::Retries "3"' --skip=cleanup/apt/cache \
  "$debian_suite" "$dir.new" "deb $mirror $debian_suite main" >&2
make_dpkg_database "$dir.new/var/cache/apt/archives" "$dir.new/var/lib/dpkg" "$dir"
rm -rf "$dir.new/var/cache/apt/archives" "$dir.new/var/lib/apt/lists"
relative_links "$dir.new"
mv "$dir.new" "$dir"
echo "$want" >"$dir/.vehcan-stamp"
echo "sysroot: $arch ready in $((SECONDS - started)) s, $(du -sh "$dir" | cut -f1)" >&2
echo "$dir"
