# SPDX-License-Identifier: MIT
# Cross build for the 64-bit ARM gateways (AArch64), where long is
# 64 bits. Debian: g++-aarch64-linux-gnu, libc6-dev-arm64-cross; tests run
# under qemu-user (the emulator below; the unit tests take VEHCAN_TEST_LAUNCHER
# "unshare;--ipc;qemu-..." for a message-queue namespace each).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)

set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)

# The cross toolchain's own root, and the build machine's root for Debian's
# multiarch packages of the target (e.g. libpugixml-dev:armhf installs into
# /usr/lib/<triple>, found through CMAKE_LIBRARY_ARCHITECTURE).
set(CMAKE_FIND_ROOT_PATH /usr/aarch64-linux-gnu /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config reads the target's .pc files, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/aarch64-linux-gnu/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Test programs of this build run under user-mode emulation, on the target's
# Debian multiarch runtime (libc6, libstdc++6 of the target architecture in
# /lib/aarch64-linux-gnu). Not on the cross toolchain's own copy in /usr/aarch64-linux-gnu
# (qemu -L): that glibc is an older build than the multiarch one that the
# target's packages bring, and a program that loads parts of both crashes in
# its threads.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-aarch64)
