# SPDX-License-Identifier: MIT
# The Debian packages (cmake/packaging.cmake), for the build's architecture:
# made with cpack, checked field by field and with lintian, unpacked into a
# scratch root and their vehcan run against the golden outputs (under
# qemu-user in a cross build). Not for sanitized builds: their binaries
# need the sanitizer runtimes and are not what is shipped.
if(TARGET vehcan-cli AND NOT VEHCAN_SANITIZE)
  find_program(_dpkg_deb dpkg-deb)
  if(_dpkg_deb)
    vehcan_debian_arch(_pkg_arch)
    string(JOIN "|" _pkg_emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
    add_test(NAME package.deb_holds_and_runs_the_tool
      COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${PROJECT_BINARY_DIR}
              -DWORK_DIR=${PROJECT_BINARY_DIR}/package-check
              -DSOURCE_DIR=${PROJECT_SOURCE_DIR} -DARCH=${_pkg_arch}
              -DTRIPLET=${CMAKE_LIBRARY_ARCHITECTURE} "-DEMULATOR=${_pkg_emulator}"
              -DFLEET=$<NOT:$<BOOL:${CMAKE_CROSSCOMPILING}>>
              -P ${CMAKE_CURRENT_SOURCE_DIR}/packaging/check_deb.cmake)
    set_tests_properties(package.deb_holds_and_runs_the_tool PROPERTIES TIMEOUT 300)
  endif()
endif()

# A missing package stops configure with one line naming it: the package to
# install, or in a cross build the package the target's sysroot lacks.
set(_pkg_fix "apt-get install")
set(_pkg_sysroot "")
if(CMAKE_CROSSCOMPILING)
  set(_pkg_fix "sysroot lacks")
  set(_pkg_sysroot -DVEHCAN_SYSROOT=${VEHCAN_SYSROOT})
endif()
foreach(_case "library;0;0;VehcanNoSuchLibrary not found: ${_pkg_fix} libvehcan-nosuch-dev\n"
              "headers_only;1;0;VehcanNoSuchHeaders not found: ${_pkg_fix} libvehcan-nosuch-headers-dev\n"
              "pkg_config;0;1;vehcan-nosuch not found: ${_pkg_fix} libvehcan-nosuch-dev\n")
  list(GET _case 0 _name)
  list(GET _case 1 _headers)
  list(GET _case 2 _pkgconfig)
  list(GET _case 3 _line)
  string(REPLACE "+" "\\+" _line "${_line}")
  add_test(NAME configure.missing_package_is_named.${_name}
    COMMAND ${CMAKE_COMMAND} -S ${CMAKE_CURRENT_SOURCE_DIR}/packaging/missing_package
            -B ${CMAKE_CURRENT_BINARY_DIR}/missing_package_${_name} -DHEADERS_ONLY=${_headers}
            -DPKGCONFIG=${_pkgconfig}
            -DCMAKE_TOOLCHAIN_FILE=${CMAKE_TOOLCHAIN_FILE} ${_pkg_sysroot})
  set_tests_properties(configure.missing_package_is_named.${_name} PROPERTIES LABELS host
    PASS_REGULAR_EXPRESSION "\\(message\\):\n  ${_line}Call Stack")
endforeach()
