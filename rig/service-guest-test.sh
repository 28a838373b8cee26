#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The vehcan service in a systemd-booted Debian 12 guest:
#
#   rig/service-guest-test.sh [--arch amd64|arm64|armhf] BUILD_DIR
#
# Makes the project's Debian packages from BUILD_DIR with cpack (its
# architecture's), the guest's image with rig/systemd-image.sh (cached),
# and a sparse copy of it as the disk, and boots it with
# rig/run-systemd-guest.sh.
#
# amd64 (the default): two boots. The first runs
# rig/systemd/service-step.sh's checks and ends in a power cut; the second
# checks that the service came back, then upgrades the packages to a second
# version (the same build, cpack'ed as VERSION+next), removes and purges
# them and installs them again (rig/systemd/package-lifecycle.sh).
#
# arm64, armhf: one boot of the arm64 kernel with the architecture's root
# (armhf: the 32-bit user space on the 64-bit kernel) that runs
# rig/systemd/arm-service-step.sh: the service under its unit and its
# system-call filter, ready, fed watchdog, the broker, no SIGSYS.
#
# Prints each check, the figures (boot-to-ready, the exposure score, ...)
# and "N passed, M failed". Exit status: 0 when every check passed. With
# VEHCAN_RIG_KEEP=DIR the run leaves the guest's journals, the broker's log
# and the subscriber's there.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
arch=amd64
if [ "${1:-}" = --arch ]; then
  arch=${2:?}
  shift 2
fi
build=$(cd "${1:?usage: rig/service-guest-test.sh [--arch amd64|arm64|armhf] BUILD_DIR}" && pwd)
work=$(mktemp -d /tmp/vehcan-service-rig.XXXXXX)
trap 'rm -rf "$work"' EXIT

if [ "$arch" = amd64 ]; then
  bash "$top/scripts/install-deps.sh" rig >/dev/null
  step=service-step.sh boots=2
else
  bash "$top/scripts/install-deps.sh" rig-arm >/dev/null
  step=arm-service-step.sh boots=1
fi

# The packages, and a second version of them for the upgrade (the same
# build, a later version number).
mkdir -p "$work/share/debs" "$work/share/debs-next" "$work/cpack" "$work/cpack-next"
# The checks read the compact uplink with the build's own decoder of it.
cmake --build "$build" --target fleet_payload_lines >/dev/null
(cd "$build" && cpack -G DEB -B "$work/cpack" >/dev/null)
version=$(dpkg-deb -f "$(ls "$work"/cpack/vehcan_*.deb)" Version)
(cd "$build" && cpack -G DEB -B "$work/cpack-next" -D "CPACK_PACKAGE_VERSION=$version+next" >/dev/null)
for p in libvehcan0 libvehcan-db0 vehcan; do
  cp "$work"/cpack/${p}_*.deb "$work/share/debs/"
  cp "$work"/cpack-next/${p}_*.deb "$work/share/debs-next/"
done
if [ "$(dpkg-deb -f "$(ls "$work"/share/debs/vehcan_*.deb)" Architecture)" != "$arch" ]; then
  echo "rig: $build does not make $arch packages" >&2
  exit 2
fi
image=$(bash "$top/rig/systemd-image.sh" --arch "$arch" "$work"/share/debs/*.deb)
cp --sparse=always "$image" "$work/disk.img"
cp "$top/rig/systemd/$step" "$work/share/step.sh"
cp "$top/rig/systemd/checks.sh" "$top/rig/systemd/package-lifecycle.sh" "$work/share/"
cp "$build/tests/fleet_payload_lines" "$work/share/"

# boot N TIMEOUT: one boot of the guest; a boot that runs out of time is
# reported by its missing "bootN.done", and the run goes on to the results.
boot() {
  local started=$SECONDS status=0
  "$top/rig/run-systemd-guest.sh" --arch "$arch" --disk "$work/disk.img" --share "$work/share" \
    --timeout "$2" \
    | sed 's/^/guest: /' || status=$?
  echo "rig: boot $1 and its checks took $((SECONDS - started))s (exit status $status)"
}
if [ "$boots" = 2 ]; then
  boot 1 900
  [ ! -e "$work/share/boot1.done" ] || boot 2 900
  [ -e "$work/share/boot2.done" ] || echo "not ok - the second boot finished its checks" >>"$work/share/results"
else
  boot "1 ($arch)" 2100
fi

echo "---- figures"
cat "$work/share/figures" 2>/dev/null || true
[ -e "$work/share/boot1.done" ] || echo "not ok - the first boot finished its checks" >>"$work/share/results"
echo "---- results"
cat "$work/share/results" 2>/dev/null || true
passed=$(grep -c '^ok - ' "$work/share/results" || true)
failed=$(grep -c '^not ok - ' "$work/share/results" || true)
if [ "$failed" != 0 ]; then
  echo "---- dpkg"; cat "$work/share/dpkg.log" 2>/dev/null || true
fi
if [ -n "${VEHCAN_RIG_KEEP:-}" ]; then
  mkdir -p "$VEHCAN_RIG_KEEP" && cp -r "$work/share/." "$VEHCAN_RIG_KEEP/"
  echo "rig: the guest's logs are in $VEHCAN_RIG_KEEP"
fi
echo "$passed passed, $failed failed"
[ "$failed" = 0 ] && [ "$passed" -gt 0 ]
