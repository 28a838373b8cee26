#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The real-kernel rig: the stack against Linux CAN_J1939 in a QEMU guest
# (rig/run-guest.sh), one boot for the whole suite, every case's result
# shown. The reassembly's "PGN VAL" lines are left out of the listing.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
build=${VEHCAN_BUILD_DIR:-$top/build}
started=$SECONDS
bash "$top/scripts/rig-ctest.sh" "$build"
echo "rig: $((SECONDS - started)) s"
