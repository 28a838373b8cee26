# SPDX-License-Identifier: MIT
# vehcan_require(<find_package arguments...> DEBIAN <package> [ARCH_ALL])
#
# find_package() for a dependency that Debian ships. When it is not found,
# configure stops with one line that names the Debian package to install,
# or in a cross build the package that the target's sysroot lacks
# ("sysroot lacks libfmt-dev": list it in scripts/deps.d/90-sysroot.txt;
# scripts/sysroot.sh makes the sysroot again). Any find in the tree can use
# it. ARCH_ALL marks an architecture-independent package (headers only, one
# package serves every target; a sysroot holds those too):
#
#   vehcan_require(fmt DEBIAN libfmt-dev)
#   vehcan_require(CLI11 CONFIG DEBIAN libcli11-dev ARCH_ALL)
#
# vehcan_require_pkgconfig(<prefix> <module> DEBIAN <package>)
#
# The same through pkg-config, for libraries Debian ships a .pc for only:
# pkg_check_modules(<prefix> IMPORTED_TARGET <module>), then
# PkgConfig::<prefix>. A cross build reads the target's .pc files (the
# toolchain files point PKG_CONFIG_LIBDIR into the sysroot).
#
#   vehcan_require_pkgconfig(MOSQUITTO libmosquitto DEBIAN libmosquitto-dev)
include_guard(GLOBAL)

# The Debian architecture of the build's target: armhf, arm64, amd64, ...
function(vehcan_debian_arch out)
  set(triplet "${CMAKE_LIBRARY_ARCHITECTURE}")
  set(map "arm-linux-gnueabihf=armhf" "aarch64-linux-gnu=arm64" "x86_64-linux-gnu=amd64"
          "i386-linux-gnu=i386")
  set(arch "")
  foreach(pair ${map})
    string(REPLACE "=" ";" kv "${pair}")
    list(GET kv 0 key)
    list(GET kv 1 value)
    if(triplet STREQUAL key)
      set(arch ${value})
    endif()
  endforeach()
  if(NOT arch)
    execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE arch
                    OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  endif()
  set(${out} "${arch}" PARENT_SCOPE)
endfunction()

# Stops configure: WHAT was not found, PACKAGE installs it (on the build
# machine, or in a cross build's sysroot). Kept to one short line (CMake
# wraps long messages).
function(vehcan_missing_package what package)
  if(CMAKE_CROSSCOMPILING AND CMAKE_SYSROOT)
    message(FATAL_ERROR "${what} not found: sysroot lacks ${package}")
  endif()
  message(FATAL_ERROR "${what} not found: apt-get install ${package}")
endfunction()

macro(vehcan_require name)
  cmake_parse_arguments(_vr "ARCH_ALL" "DEBIAN" "" ${ARGN})
  find_package(${name} ${_vr_UNPARSED_ARGUMENTS} QUIET)
  if(NOT ${name}_FOUND)
    vehcan_missing_package(${name} ${_vr_DEBIAN})
  endif()
endmacro()

macro(vehcan_require_pkgconfig prefix module)
  cmake_parse_arguments(_vrp "" "DEBIAN" "" ${ARGN})
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(${prefix} QUIET IMPORTED_TARGET ${module})
  endif()
  if(NOT ${prefix}_FOUND)
    if(NOT PKG_CONFIG_FOUND)
      vehcan_missing_package(pkg-config pkgconf)
    endif()
    vehcan_missing_package(${module} ${_vrp_DEBIAN})
  endif()
endmacro()
