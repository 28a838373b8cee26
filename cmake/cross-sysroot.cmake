# SPDX-License-Identifier: MIT
# The part the cross toolchain files share (cmake/<triplet>.cmake):
#
#   vehcan_cross_sysroot(<debian arch> <qemu-user program>)
#
# Builds against the target architecture's sysroot, made by
# scripts/sysroot.sh from Debian's packages of that architecture:
# VEHCAN_SYSROOT (cache) if set, else $VEHCAN_SYSROOT_CACHE/<arch>, else
# /var/cache/vehcan/sysroot/<arch>. find_package and find_library look in the
# sysroot only, pkg-config reads the sysroot's .pc files and prefixes their
# paths with it. Debian's cross g++ keeps its own C library and libstdc++
# (in /usr/<triplet> and /usr/lib/gcc-cross) for compiling and linking; the
# sysroot adds the target's libraries and their headers.
#
# Programs of the build run under qemu-user with -L on the sysroot, so
# every library they load, the dynamic loader and the C library included,
# is the target's Debian package of one release: loading a second C library
# (the cross toolchain's, an older build) next to them crashes threads.
include_guard(GLOBAL)

macro(vehcan_cross_sysroot arch qemu)
  if(NOT VEHCAN_SYSROOT)
    if(DEFINED ENV{VEHCAN_SYSROOT_CACHE} AND NOT "$ENV{VEHCAN_SYSROOT_CACHE}" STREQUAL "")
      set(VEHCAN_SYSROOT "$ENV{VEHCAN_SYSROOT_CACHE}/${arch}")
    else()
      set(VEHCAN_SYSROOT "/var/cache/vehcan/sysroot/${arch}")
    endif()
  endif()
  set(VEHCAN_SYSROOT "${VEHCAN_SYSROOT}" CACHE PATH "The ${arch} sysroot (scripts/sysroot.sh ${arch})")
  # try_compile projects read this file again: they get the same sysroot.
  list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES VEHCAN_SYSROOT)
  if(NOT EXISTS "${VEHCAN_SYSROOT}/.vehcan-stamp")
    message(FATAL_ERROR "no ${arch} sysroot in ${VEHCAN_SYSROOT}: bash scripts/sysroot.sh ${arch}")
  endif()
  set(CMAKE_SYSROOT "${VEHCAN_SYSROOT}")

  set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
  set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
  set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
  # pkg-config reads the target's .pc files, never the build machine's.
  set(ENV{PKG_CONFIG_LIBDIR}
      "${VEHCAN_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig:${VEHCAN_SYSROOT}/usr/share/pkgconfig")
  set(ENV{PKG_CONFIG_SYSROOT_DIR} "${VEHCAN_SYSROOT}")
  set(ENV{PKG_CONFIG_PATH} "")

  set(CMAKE_CROSSCOMPILING_EMULATOR ${qemu} -L "${VEHCAN_SYSROOT}")
endmacro()
