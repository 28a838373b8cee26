#!/usr/bin/env bash
# Cross builds for the gateways' CPUs with warnings as errors: 32-bit ARM
# (armhf, where long is 32 bits) and aarch64. The library and the unit suite
# are built for each and the suite runs under qemu-user, each test program
# in its own message-queue namespace as on the build machine.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)
cd "$top"
jobs=$(nproc)

cross() { # triple qemu
    local triple=$1 qemu=$2 dir=build-$3
    local started=$SECONDS
    cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="cmake/$triple.cmake" \
          -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVEHCAN_WERROR=ON \
          -DVEHCAN_BUILD_TOOLS=OFF -DVEHCAN_BUILD_BENCH=OFF \
          -DVEHCAN_TEST_LAUNCHER="unshare;--ipc;$qemu" >/dev/null
    cmake --build "$dir" -j"$jobs"
    ctest --test-dir "$dir" --output-on-failure -j"$jobs" -LE rig
    echo "cross $triple: $((SECONDS - started)) s"
}

cross arm-linux-gnueabihf qemu-arm arm
cross aarch64-linux-gnu qemu-aarch64 arm64
