#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The vehcan service in a systemd-booted Debian 12 guest:
#
#   rig/service-guest-test.sh BUILD_DIR
#
# Makes the project's Debian packages from BUILD_DIR with cpack, the guest's
# image with rig/systemd-image.sh (cached), and a sparse copy of it as
# the disk; boots the guest twice with rig/run-systemd-guest.sh: the first boot
# runs rig/systemd/service-step.sh's checks and ends in a power cut, the
# second checks that the service came back. Prints each check, the figures
# (boot-to-ready, the exposure score, ...) and "N passed, M failed".
# Exit status: 0 when every check passed. With VEHCAN_RIG_KEEP=DIR the run
# leaves the guest's journals, the broker's log and the subscriber's there.
set -euo pipefail

top=$(cd "$(dirname "$0")/.." && pwd)
build=$(cd "${1:?usage: rig/service-guest-test.sh BUILD_DIR}" && pwd)
work=$(mktemp -d /tmp/vehcan-service-rig.XXXXXX)
trap 'rm -rf "$work"' EXIT

bash "$top/scripts/install-deps.sh" rig >/dev/null

mkdir -p "$work/share/debs" "$work/cpack"
(cd "$build" && cpack -G DEB -B "$work/cpack" >/dev/null)
cp "$work"/cpack/libvehcan0_*.deb "$work"/cpack/libvehcan-db0_*.deb "$work"/cpack/vehcan_*.deb \
   "$work/share/debs/"
image=$(bash "$top/rig/systemd-image.sh" "$work"/share/debs/*.deb)
cp --sparse=always "$image" "$work/disk.img"
cp "$top/rig/systemd/service-step.sh" "$work/share/step.sh"

# boot N TIMEOUT: one boot of the guest; a boot that runs out of time is
# reported by its missing "bootN.done", and the run goes on to the results.
boot() {
  local started=$SECONDS status=0
  "$top/rig/run-systemd-guest.sh" --disk "$work/disk.img" --share "$work/share" --timeout "$2" \
    | sed 's/^/guest: /' || status=$?
  echo "rig: boot $1 and its checks took $((SECONDS - started))s (exit status $status)"
}
boot 1 900
[ ! -e "$work/share/boot1.done" ] || boot 2 400

echo "---- figures"
cat "$work/share/figures" 2>/dev/null || true
[ -e "$work/share/boot2.done" ] || echo "not ok - the second boot finished its checks" >>"$work/share/results"
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
