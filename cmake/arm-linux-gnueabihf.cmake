# SPDX-License-Identifier: MIT
# Cross build for the 32-bit ARM gateway (ARMv7, hard float), where long is
# 32 bits. Debian: g++-arm-linux-gnueabihf, libc6-dev-armhf-cross,
# and the armhf sysroot; tests run under qemu-user (the emulator below; the unit tests take VEHCAN_TEST_LAUNCHER
# "unshare;--ipc;qemu-...;-L;<sysroot>" for a message-queue namespace each).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# GCC notes that the passing of some arguments changed in GCC 7.1; everything
# here is built with one compiler, so the notes say nothing.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# The target's libraries: the armhf sysroot (scripts/sysroot.sh armhf); test
# programs run under qemu-user on it.
include(${CMAKE_CURRENT_LIST_DIR}/cross-sysroot.cmake)
vehcan_cross_sysroot(armhf qemu-arm)
