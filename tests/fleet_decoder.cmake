# SPDX-License-Identifier: MIT
# vehcan-fleet (tools/vehcan-fleet/), label fleet_decoder: the fleet's
# decoder of the compact uplink, Python unittest under Debian's Python, one
# entry per file of tests/fleet_decoder/: schema (the package's schema
# against the .proto), fixtures (the gateway's own payloads, line for line),
# decode (every kind of line, the saved files, seq),
# bad_input (refusals and bounds), reconstruct (the library's value at any
# time), report (the page's data: levels, bands, lost batches, trouble
# codes; the command), install (pip from the checkout) and listen (against
# mosquitto, label mqtt too). The package is Architecture: all: a cross build does not run
# these again.
if(CMAKE_CROSSCOMPILING)
  return()
endif()
set(VEHCAN_PYTHON3 /usr/bin/python3 CACHE FILEPATH "The Python 3 that has the tests' Debian modules")
find_program(_protoc protoc)
if(NOT _protoc)
  vehcan_missing_package(protoc protobuf-compiler)
endif()
set(_fleet_tests schema decode bad_input reconstruct report install)
# the gateway's payloads of examples/truck.log with the lines they decode to
if(EXISTS ${PROJECT_SOURCE_DIR}/tests/fleet_format)
  list(APPEND _fleet_tests fixtures)
endif()
find_program(_fleet_mosquitto mosquitto PATHS /usr/sbin)
find_program(_fleet_openssl openssl)
find_program(_fleet_passwd mosquitto_passwd)
if(_fleet_mosquitto AND _fleet_openssl AND _fleet_passwd)
  list(APPEND _fleet_tests listen)
else()
  message(STATUS "vehcan: no mosquitto, mosquitto_passwd or openssl: fleet_decoder.listen is left out")
endif()
foreach(_test ${_fleet_tests})
  add_test(NAME fleet_decoder.${_test}
    COMMAND ${VEHCAN_PYTHON3} -B ${CMAKE_CURRENT_SOURCE_DIR}/fleet_decoder/test_${_test}.py)
  set_tests_properties(fleet_decoder.${_test} PROPERTIES LABELS "fleet_decoder;host" TIMEOUT 300
    ENVIRONMENT "VEHCAN_SOURCE_DIR=${PROJECT_SOURCE_DIR};VEHCAN_PYTHON3=${VEHCAN_PYTHON3};VEHCAN_TEST_MOSQUITTO=${_fleet_mosquitto}")
endforeach()
if(TEST fleet_decoder.listen)
  set_tests_properties(fleet_decoder.listen PROPERTIES LABELS "fleet_decoder;mqtt;host")
endif()
