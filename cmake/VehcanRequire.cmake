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
