#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Cross builds for the gateways' CPUs with warnings as errors: 32-bit ARM
# (armhf, where long and time_t are 32 bits) and aarch64, every part of the
# tree (scripts/cross-build.sh, against each architecture's sysroot). Their
# tests run under qemu-user on the sysroot, each test program in its own
# message-queue namespace as on the build machine: the unit suite, the
# vehcan tool's golden outputs and exit statuses, and the Debian packages of
# the architecture, unpacked and run. The rig (label "rig") runs in the ARM
# guest: scripts/check.d/55-rig-arm.sh.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)

for arch in armhf arm64; do
  started=$SECONDS
  dir=$(bash "$top/scripts/cross-build.sh" "$arch")
  ctest --test-dir "$dir" --output-on-failure -j"$(nproc)" -LE rig
  echo "cross $arch: $((SECONDS - started)) s"
done
