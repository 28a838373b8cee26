# SPDX-License-Identifier: MIT
# Cross build for the 64-bit ARM gateways (AArch64), where long is
# 64 bits. Debian: g++-aarch64-linux-gnu, libc6-dev-arm64-cross,
# and the arm64 sysroot; tests run under qemu-user (the emulator below; the unit tests take VEHCAN_TEST_LAUNCHER
# "unshare;--ipc;qemu-...;-L;<sysroot>" for a message-queue namespace each).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# The target's libraries: the arm64 sysroot (scripts/sysroot.sh arm64); test
# programs run under qemu-user on it.
include(${CMAKE_CURRENT_LIST_DIR}/cross-sysroot.cmake)
vehcan_cross_sysroot(arm64 qemu-aarch64)
