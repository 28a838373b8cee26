#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Configures and builds the whole tree for a gateway's CPU, with warnings as
# errors, into build-arm (armhf) or build-arm64 (aarch64), and prints the
# build directory. A tree that is already built is only brought up to date,
# so the cross stages share one build of each architecture.
#
#   scripts/cross-build.sh armhf|arm64
#
# Installs what a cross build needs on the build machine when it is missing
# (scripts/install-deps.sh cross ARCH: the cross compiler, CMake, qemu-user,
# mmdebstrap) and makes the architecture's sysroot when it is missing or
# out of date (scripts/sysroot.sh ARCH), so it works on a fresh machine.
set -euo pipefail
top=$(cd "$(dirname "$0")/.." && pwd)
case "${1:-}" in
  armhf) triplet=arm-linux-gnueabihf qemu=qemu-arm dir=$top/build-arm ;;
  arm64) triplet=aarch64-linux-gnu qemu=qemu-aarch64 dir=$top/build-arm64 ;;
  *) echo "usage: scripts/cross-build.sh armhf|arm64" >&2; exit 2 ;;
esac
bash "$top/scripts/install-deps.sh" cross "$1" >&2
sysroot=$(bash "$top/scripts/sysroot.sh" "$1")
source "$top/scripts/compiler-cache.sh"
# Benchmarks stay out (their numbers would be qemu-user's); everything else
# is what the toolchain file alone gives. The unit tests run under qemu-user
# on the sysroot, each in its own message-queue namespace. Line tables only
# (-g1): a backtrace keeps file:line, the build is a fifth quicker, and the
# packages are stripped either way.
cmake -S "$top" -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$top/cmake/$triplet.cmake" \
      -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEHCAN_WERROR=ON -DVEHCAN_BUILD_BENCH=OFF \
      -DCMAKE_C_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
      -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O2 -g1 -DNDEBUG" \
      -DVEHCAN_SYSROOT="$sysroot" "${cache_launcher[@]}" \
      -DVEHCAN_TEST_LAUNCHER="unshare;--ipc;$qemu;-L;$sysroot" >/dev/null
cmake --build "$dir" -j"$(nproc)" >&2
echo "$dir"
