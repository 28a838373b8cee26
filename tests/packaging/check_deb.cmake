# SPDX-License-Identifier: MIT
# Builds the Debian packages with cpack and checks them (cmake -P):
#   BUILD_DIR   the configured and built tree
#   WORK_DIR    a scratch directory, emptied first
#   SOURCE_DIR  the source tree (golden outputs, the example capture)
#   ARCH        the Debian architecture the packages must be for
#   TRIPLET     the multiarch directory of the libraries
#   EMULATOR    optional: runs the target's programs ('|'-separated, qemu-user)
#   FLEET       ON in a native build: vehcan-fleet and vehcan-db-import
#               (Architecture: all) are made too
# Each package must hold its own files and no other's, for ARCH, with the
# Depends that Debian's tools computed; lintian must report no error and no
# warning; and the vehcan that the packages ship, unpacked into a scratch
# root with its libraries and database, must reproduce the golden outputs.
cmake_minimum_required(VERSION 3.25)
string(REPLACE "|" ";" emulator "${EMULATOR}")
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
execute_process(COMMAND cpack -G DEB --config "${BUILD_DIR}/CPackConfig.cmake" -B "${WORK_DIR}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cpack failed (${rc}):\n${out}\n${err}")
endif()

set(lib /usr/lib/${TRIPLET})
# package: the files it must hold
set(want_libvehcan0 ${lib}/libvehcan.so.0 ${lib}/libvehcan.so.0.1.0
    /usr/share/doc/libvehcan0/copyright /usr/share/doc/libvehcan0/changelog.gz)
set(want_libvehcan-db0 ${lib}/libvehcan-db.so.0 ${lib}/libvehcan-db.so.0.1.0
    /usr/share/doc/libvehcan-db0/copyright /usr/share/doc/libvehcan-db0/changelog.gz)
set(want_libvehcan-dev /usr/include/j1939_stack.h /usr/include/libxml2.h
    /usr/include/vehcan_db.h ${lib}/libvehcan.so ${lib}/libvehcan-db.so ${lib}/libvehcan-db.a
    ${lib}/cmake/vehcan/vehcanConfig.cmake ${lib}/cmake/vehcan-db/vehcan-dbConfig.cmake
    ${lib}/pkgconfig/vehcan.pc ${lib}/pkgconfig/vehcan-db.pc)
set(want_vehcan /usr/bin/vehcan /usr/bin/pgnparse /usr/bin/vehcan-sim
    /usr/share/vehcan/sample.xml /usr/share/doc/vehcan/copyright
    /usr/lib/systemd/system/vehcan.service /etc/vehcan/vehcan.conf
    /usr/lib/sysctl.d/60-vehcan-mqueue.conf
    /usr/share/man/man1/vehcan.1.gz /usr/share/man/man1/vehcan-sim.1.gz
    /usr/share/man/man1/pgnparse.1.gz /usr/share/man/man5/vehcan.conf.5.gz
    /usr/share/doc/vehcan/fleet.md.gz /usr/share/doc/vehcan/commands.md.gz)
# package: a regular expression its Depends must match
set(depends_libvehcan0 "^iproute2, net-tools, libc6 \\(>= [0-9.]+\\)$")
set(depends_libvehcan-db0 "libpugixml1v5 \\(>= [0-9.]+\\)")
set(depends_libvehcan-dev "libvehcan-db0 \\(= 0\\.1\\.0\\), libvehcan0 \\(= 0\\.1\\.0\\)")
set(depends_vehcan
    "^libvehcan-db0 \\(= 0\\.1\\.0\\), libvehcan0 \\(= 0\\.1\\.0\\), libjs-dygraphs, .*libfmt9 \\(>= [^)]+\\).*libstdc\\+\\+6.*libsystemd0.*libtomlplusplus3")
set(packages libvehcan0 libvehcan-db0 libvehcan-dev vehcan)
# the fleet's decoder: its modules, the signing module beside them, the
# command and its page; Python's, whatever the build's architecture
set(site /usr/lib/python3/dist-packages)
set(want_vehcan-fleet /usr/bin/vehcan-fleet ${site}/vehcan_fleet/__init__.py
    ${site}/vehcan_fleet/cli.py ${site}/vehcan_fleet/schema.py
    ${site}/vehcan_fleet/commands/listen.py ${site}/vehcan_commands.py
    ${site}/vehcan_fleet/page/report.js ${site}/vehcan_fleet/page/assemble_page.py
    /usr/share/man/man1/vehcan-fleet.1.gz /usr/share/doc/vehcan-fleet/copyright
    /usr/share/doc/vehcan-fleet/changelog.gz)
set(depends_vehcan-fleet
    "^python3, python3-protobuf, python3-zstandard, python3-paho-mqtt, python3-nacl$")
set(arch_vehcan-fleet all)
# the importer of CAN databases: the program, its modules and its page
set(want_vehcan-db-import /usr/bin/vehcan-db-import
    /usr/share/vehcan/db-import/vehcan_dbimport/convert.py
    /usr/share/man/man1/vehcan-db-import.1.gz /usr/share/doc/vehcan-db-import/copyright)
set(depends_vehcan-db-import "^python3, python3-canmatrix$")
set(arch_vehcan-db-import all)
if(FLEET)
  list(APPEND packages vehcan-fleet vehcan-db-import)
endif()

file(GLOB debs "${WORK_DIR}/*.deb")
list(LENGTH debs count)
list(LENGTH packages want_count)
if(NOT count EQUAL want_count)
  message(FATAL_ERROR "cpack made ${count} packages, not ${want_count}: ${debs}")
endif()
set(root "${WORK_DIR}/root")
foreach(package ${packages})
  set(arch ${ARCH})
  if(arch_${package})
    set(arch ${arch_${package}})
  endif()
  set(deb "${WORK_DIR}/${package}_0.1.0_${arch}.deb")
  if(NOT EXISTS "${deb}")
    message(FATAL_ERROR "no ${package}_0.1.0_${arch}.deb among ${debs}")
  endif()
  execute_process(COMMAND dpkg-deb -f "${deb}" Package Architecture
    OUTPUT_VARIABLE fields OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT fields STREQUAL "Package: ${package}\nArchitecture: ${arch}")
    message(FATAL_ERROR "${deb}: fields\n${fields}")
  endif()
  execute_process(COMMAND dpkg-deb -f "${deb}" Depends
    OUTPUT_VARIABLE depends OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(NOT depends MATCHES "${depends_${package}}")
    message(FATAL_ERROR "${package}: Depends '${depends}' does not match '${depends_${package}}'")
  endif()
  execute_process(COMMAND dpkg-deb -c "${deb}" OUTPUT_VARIABLE listing)
  string(REGEX MATCHALL " \\./[^\n]*[^/\n](\n|$)" held "${listing}")
  string(REGEX REPLACE " \\.(/[^\n ]*)[^\n]*\n?" "\\1;" held "${held}")
  foreach(path ${want_${package}})
    if(NOT "${path}" IN_LIST held)
      message(FATAL_ERROR "${package} lacks ${path}; it holds:\n${listing}")
    endif()
  endforeach()
  foreach(other ${packages})
    if(NOT other STREQUAL package)
      foreach(path ${want_${other}})
        if("${path}" IN_LIST held)
          message(FATAL_ERROR "${package} holds ${path}, which belongs to ${other}")
        endif()
      endforeach()
    endif()
  endforeach()
  execute_process(COMMAND dpkg-deb -x "${deb}" "${root}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "dpkg-deb -x ${deb} failed")
  endif()
endforeach()

# The configuration is a conffile: an upgrade keeps the administrator's edits.
execute_process(COMMAND dpkg-deb -I "${WORK_DIR}/vehcan_0.1.0_${ARCH}.deb" conffiles
  OUTPUT_VARIABLE conffiles RESULT_VARIABLE rc)
if(NOT rc EQUAL 0 OR NOT conffiles STREQUAL "/etc/vehcan/vehcan.conf\n")
  message(FATAL_ERROR "vehcan's conffiles are '${conffiles}', not /etc/vehcan/vehcan.conf")
endif()

# Debian's review of the packages: no error and no warning. None is
# overridden; an override would go to /usr/share/lintian/overrides/PACKAGE
# with a comment saying why it is right.
find_program(lintian lintian)
if(NOT lintian)
  message(FATAL_ERROR "lintian not found: apt-get install lintian")
endif()
execute_process(COMMAND ${lintian} --fail-on error,warning --tag-display-limit 0 ${debs}
  RESULT_VARIABLE rc OUTPUT_VARIABLE report ERROR_VARIABLE lintian_err)
if(NOT rc EQUAL 0 OR report MATCHES "(^|\n)[EW]: ")
  message(FATAL_ERROR "lintian (${rc}) on the ${ARCH} packages:\n${report}${lintian_err}")
endif()
message(STATUS "lintian: no error and no warning on ${debs}")

# The shipped tool with the shipped libraries and database (the emulator
# passes LD_LIBRARY_PATH on to the target's loader).
set(ENV{LD_LIBRARY_PATH} "${root}${lib}")
set(db "${root}/usr/share/vehcan/sample.xml")
set(cases
  "decode_eec1.txt|decode|61444|F07D8CE02E00F07D"
  "dtc_one.txt|dtc|04FF6E001001FFFF|--db|${db}"
  "replay_truck.txt|replay|examples/truck.log")
foreach(case ${cases})
  string(REPLACE "|" ";" args "${case}")
  list(POP_FRONT args golden)
  execute_process(COMMAND ${emulator} "${root}/usr/bin/vehcan" ${args}
    WORKING_DIRECTORY "${SOURCE_DIR}"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  file(READ "${SOURCE_DIR}/tests/cli/golden/${golden}" want)
  if(NOT rc EQUAL 0 OR NOT out STREQUAL want)
    message(FATAL_ERROR "the packaged vehcan ${args} (${rc}) differs from ${golden}:\n"
                        "${out}\n${err}")
  endif()
endforeach()

# The packaged vehcan-fleet, from the unpacked root with the build
# machine's Python and its Debian modules: its --version, and a fixture of
# the gateway decoded to its lines.
if(FLEET)
  set(ENV{PYTHONPATH} "${root}${site}")
  execute_process(COMMAND /usr/bin/python3 -B "${root}/usr/bin/vehcan-fleet" --version
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0 OR NOT out MATCHES "^vehcan-fleet [0-9.]+\n$")
    message(FATAL_ERROR "the packaged vehcan-fleet --version (${rc}): ${out}${err}")
  endif()
  set(fixtures "${SOURCE_DIR}/tests/fleet_format")
  execute_process(COMMAND /usr/bin/python3 -B "${root}/usr/bin/vehcan-fleet" decode
      "${fixtures}/0001-birth.pb" "${fixtures}/0002-batch.pb"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  file(READ "${fixtures}/0002-batch.jsonl" want)
  if(NOT rc EQUAL 0 OR NOT out STREQUAL want)
    message(FATAL_ERROR "the packaged vehcan-fleet decode (${rc}) differs from 0002-batch.jsonl:\n"
                        "${out}\n${err}")
  endif()
  # report: the page's files come with the package
  execute_process(COMMAND /usr/bin/python3 -B "${root}/usr/bin/vehcan-fleet" report
      "${fixtures}/0001-birth.pb" "${fixtures}/0002-batch.pb" -o "${WORK_DIR}/fleet.html"
    RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(rc EQUAL 0)
    file(READ "${WORK_DIR}/fleet.html" page)
  endif()
  if(NOT rc EQUAL 0 OR NOT page MATCHES "id=\"vehcan-data\"")
    message(FATAL_ERROR "the packaged vehcan-fleet report (${rc}): ${out}${err}")
  endif()
  execute_process(COMMAND /usr/bin/python3 -B -c "import vehcan_commands"
    RESULT_VARIABLE rc ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "vehcan_commands does not import from the package: ${err}")
  endif()
  unset(ENV{PYTHONPATH})
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
