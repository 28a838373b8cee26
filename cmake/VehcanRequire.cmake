# SPDX-License-Identifier: MIT
# vehcan_require(<find_package arguments...> DEBIAN <package> [ARCH_ALL])
#
# find_package() for a dependency that Debian ships. When it is not found,
# configure stops with one line that names the Debian package to install:
# for a cross build the target's multiarch package ("libfmt-dev:armhf"),
# unless the package is architecture-independent (ARCH_ALL: headers only,
# one package serves every target). Any find in the tree can use it:
#
#   vehcan_require(fmt DEBIAN libfmt-dev)
#   vehcan_require(CLI11 CONFIG DEBIAN libcli11-dev ARCH_ALL)
#
# vehcan_require_pkgconfig(<prefix> <module> DEBIAN <package>)
#
# The same through pkg-config, for libraries Debian ships a .pc for only:
# pkg_check_modules(<prefix> IMPORTED_TARGET <module>), then
# PkgConfig::<prefix>. A cross build reads the target's .pc files (the
# toolchain files point PKG_CONFIG_LIBDIR at /usr/lib/<triplet>/pkgconfig).
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

# Stops configure: WHAT was not found, PACKAGE installs it. Kept to one short
# line (CMake wraps long messages).
function(vehcan_missing_package what package)
  message(FATAL_ERROR "${what} not found: apt-get install ${package}")
endfunction()

macro(vehcan_require name)
  cmake_parse_arguments(_vr "ARCH_ALL" "DEBIAN" "" ${ARGN})
  find_package(${name} ${_vr_UNPARSED_ARGUMENTS} QUIET)
  if(NOT ${name}_FOUND)
    set(_vr_package "${_vr_DEBIAN}")
    if(CMAKE_CROSSCOMPILING AND NOT _vr_ARCH_ALL)
      vehcan_debian_arch(_vr_arch)
      set(_vr_package "${_vr_DEBIAN}:${_vr_arch}")
    endif()
    vehcan_missing_package(${name} ${_vr_package})
  endif()
endmacro()

macro(vehcan_require_pkgconfig prefix module)
  cmake_parse_arguments(_vrp "" "DEBIAN" "" ${ARGN})
  find_package(PkgConfig QUIET)
  if(PKG_CONFIG_FOUND)
    pkg_check_modules(${prefix} QUIET IMPORTED_TARGET ${module})
  endif()
  if(NOT ${prefix}_FOUND)
    set(_vrp_package "${_vrp_DEBIAN}")
    if(CMAKE_CROSSCOMPILING)
      vehcan_debian_arch(_vrp_arch)
      set(_vrp_package "${_vrp_DEBIAN}:${_vrp_arch}")
    endif()
    if(NOT PKG_CONFIG_FOUND)
      set(_vrp_package "pkgconf ${_vrp_package}")
    endif()
    vehcan_missing_package(${module} "${_vrp_package}")
  endif()
endmacro()
