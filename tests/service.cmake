# SPDX-License-Identifier: MIT
# vehcan monitor as a service: the configuration file and what the service
# tells systemd, as unit tests; the bad configuration through the program.
# The service itself runs in a systemd-booted guest (rig.service).
if(NOT TARGET vehcan_service OR NOT TARGET vehcan-cli)
  return()
endif()

add_executable(service_unit_test service_config_test.cpp service_runtime_test.cpp)
target_link_libraries(service_unit_test PRIVATE vehcan_service vehcan_cli_core GTest::gtest
                      GTest::gtest_main vehcan_warnings)
target_compile_definitions(service_unit_test PRIVATE VEHCAN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
gtest_discover_tests(service_unit_test TEST_PREFIX service. DISCOVERY_TIMEOUT 60
                     PROPERTIES TIMEOUT 60)

# vehcan monitor --config FILE with a bad file: exit status 2 and the one
# line FILE:LINE: problem on standard error, before anything touches can0.
set(_service_dir ${CMAKE_CURRENT_SOURCE_DIR}/service)
string(JOIN "|" _service_emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
foreach(_case
    "bad_type.conf|2|^tests/service/bad_type.conf:5: mqtt.qos must be an integer, not a string\n$"
    "unknown_key.conf|2|^tests/service/unknown_key.conf:3: unknown key bitrate in \\[monitor\\] \\(its keys: db, duration, json, log, quiet\\)\n$"
    "syntax.conf|2|^tests/service/syntax.conf:2: [^\n]+\n$"
    "missing.conf|2|^tests/service/missing.conf: cannot read the configuration: No such file or directory\n$")
  string(REPLACE "|" ";" _fields "${_case}")
  list(GET _fields 0 _file)
  list(GET _fields 1 _status)
  list(GET _fields 2 _stderr)
  string(REGEX REPLACE "\\.conf$" "" _name "${_file}")
  add_test(NAME service.bad_config.${_name}
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:vehcan-cli> "-DEMULATOR=${_service_emulator}"
            "-DARGS=monitor|--config|tests/service/${_file}" -DEXPECT_STATUS=${_status}
            "-DSTDERR_MATCH=${_stderr}" -P ${_service_dir}/run_case.cmake
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
endforeach()

# The command line overrides the file: the file's URL is refused, the one
# given on the command line is taken (and the run goes on to the bus, which
# this machine lacks: exit 5).
add_test(NAME service.config.file_url_is_used
  COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:vehcan-cli> "-DEMULATOR=${_service_emulator}"
          "-DARGS=monitor|--config|tests/service/ftp_url.conf" -DEXPECT_STATUS=2
          "-DSTDERR_MATCH=^vehcan: [^\n]*ftp://broker[^\n]*\n$" -P ${_service_dir}/run_case.cmake
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
add_test(NAME service.config.command_line_url_overrides_the_file
  COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:vehcan-cli> "-DEMULATOR=${_service_emulator}"
          "-DARGS=monitor|--config|tests/service/ftp_url.conf|--mqtt|mqtt://127.0.0.1:1"
          -DEXPECT_STATUS=5 "-DSTDERR_MATCH=vehcan: [^\n]*can0" -P ${_service_dir}/run_case.cmake
  WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
