#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The rig on ARM: the stack's suite (rig.stack_on_kernel) against Linux
# CAN_J1939 in the arm64 guest (rig/run-guest.sh --arch arm64), once with
# the arm64 build and once with the armhf build, whose 32-bit programs run
# on the 64-bit kernel through its compat layer (32-bit long in mq_attr,
# 32-bit time_t in SO_RCVTIMEO); and the packaged service under systemd
# (rig.service: one boot of the arm64 kernel with an arm64 root, one with an
# armhf root, rig/service-guest-test.sh). Reuses the cross builds of
# 20-cross.sh. The load measurement is left to scripts/bench.sh.
set -euo pipefail
top=$(cd "$(dirname "$0")/../.." && pwd)

for arch in arm64 armhf; do
  started=$SECONDS
  dir=$(bash "$top/scripts/cross-build.sh" "$arch")
  if [ "$arch" = armhf ]; then
    echo "rig: armhf build, 32-bit programs on the arm64 kernel"
  else
    echo "rig: arm64 build on the arm64 kernel"
  fi
  bash "$top/scripts/rig-ctest.sh" "$dir"
  echo "rig $arch on arm64: $((SECONDS - started)) s"
done
