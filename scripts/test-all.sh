#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs every test of the project: the unit suite, then each further check
# of scripts/check.d in name order. Stops at the first failure.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
cd "$top"
export VEHCAN_BUILD_DIR=${VEHCAN_BUILD_DIR:-$top/build}
bash scripts/install-deps.sh test
source scripts/compiler-cache.sh

cmake -S . -B "$VEHCAN_BUILD_DIR" -G Ninja -DVEHCAN_WERROR=ON "${cache_launcher[@]}" \
      -DVEHCAN_TEST_LAUNCHER="unshare;--ipc" >/dev/null
cmake --build "$VEHCAN_BUILD_DIR"
# The rig (label "rig") boots a guest: scripts/check.d/50-rig.sh runs it alone.
ctest --test-dir "$VEHCAN_BUILD_DIR" --output-on-failure -j"$(nproc)" -LE rig

echo "-- unit: $SECONDS s"

for check in scripts/check.d/*.sh; do
  [ -e "$check" ] || continue
  started=$SECONDS
  echo "== $(basename "$check" .sh)"
  bash "$check"
  echo "-- $(basename "$check" .sh): $((SECONDS - started)) s"
done
echo "== all tests passed in $SECONDS s"
