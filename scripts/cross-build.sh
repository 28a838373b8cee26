#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Configures and builds the whole tree for a gateway's CPU, with warnings as
# errors, into build-arm (armhf) or build-arm64 (aarch64), and prints the
# build directory. A tree that is already built is only brought up to date,
# so the cross stages share one build of each architecture.
#
#   scripts/cross-build.sh armhf|arm64
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
case "${1:-}" in
  armhf) triplet=arm-linux-gnueabihf qemu=qemu-arm dir=$top/build-arm ;;
  arm64) triplet=aarch64-linux-gnu qemu=qemu-aarch64 dir=$top/build-arm64 ;;
  *) echo "usage: scripts/cross-build.sh armhf|arm64" >&2; exit 2 ;;
esac
# Benchmarks stay out (their numbers would be qemu-user's); everything else
# is what the toolchain file alone gives.
cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/$triplet.cmake" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEHCAN_WERROR=ON -DVEHCAN_BUILD_BENCH=OFF \
      -DVEHCAN_TEST_LAUNCHER="unshare;--ipc;$qemu" >/dev/null
cmake --build "$dir" -j"$(nproc)" >&2
echo "$dir"
