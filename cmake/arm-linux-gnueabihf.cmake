# SPDX-License-Identifier: MIT
# Cross build for the 32-bit ARM gateway (ARMv7, hard float), where long is
# 32 bits. Debian: g++-arm-linux-gnueabihf, libc6-dev-armhf-cross; tests run
# under qemu-user (the emulator below; the unit tests take VEHCAN_TEST_LAUNCHER
# "unshare;--ipc;qemu-..." for a message-queue namespace each).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# GCC notes that the passing of some arguments changed in GCC 7.1; everything
# here is built with one compiler, so the notes say nothing.
set(CMAKE_CXX_FLAGS_INIT -Wno-psabi)

# The cross toolchain's own root, and the build machine's root for Debian's
# multiarch packages of the target (e.g. libpugixml-dev:armhf installs into
# /usr/lib/<triple>, found through CMAKE_LIBRARY_ARCHITECTURE).
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf /)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config reads the target's .pc files, never the build machine's.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/arm-linux-gnueabihf/pkgconfig:/usr/share/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")

# Test programs of this build run under user-mode emulation, on the target's
# Debian multiarch runtime (libc6, libstdc++6 of the target architecture in
# /lib/arm-linux-gnueabihf). Not on the cross toolchain's own copy in /usr/arm-linux-gnueabihf
# (qemu -L): that glibc is an older build than the multiarch one that the
# target's packages bring, and a program that loads parts of both crashes in
# its threads.
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm)
