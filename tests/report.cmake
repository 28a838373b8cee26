# SPDX-License-Identifier: MIT
# The report room: its reduction, gathering and page as unit tests; vehcan
# plot against golden SVGs; and the pages vehcan replay --report and
# vehcan-fleet report make, opened in Debian's chromium, headless (label
# "report").
if(NOT TARGET vehcan_report OR NOT TARGET vehcan-cli)
  return()
endif()

add_executable(report_unit_test report_reduce_test.cpp report_capture_test.cpp
               report_page_test.cpp)
target_link_libraries(report_unit_test PRIVATE vehcan_report GTest::gtest GTest::gtest_main
                      vehcan_warnings)
gtest_discover_tests(report_unit_test TEST_PREFIX report. DISCOVERY_TIMEOUT 60
                     PROPERTIES TIMEOUT 60)

# A simulated drive of any length, with a manifest of what it holds (the
# benchmark's hour comes from it too: bench/report.cmake).
vehcan_require(nlohmann_json DEBIAN nlohmann-json3-dev ARCH_ALL)
add_executable(vehcan_drive_capture ${CMAKE_CURRENT_SOURCE_DIR}/report/drive_capture.cpp
               ${PROJECT_SOURCE_DIR}/tools/sim/drive_cycle.cpp)
target_include_directories(vehcan_drive_capture PRIVATE ${PROJECT_SOURCE_DIR}/tools/sim)
target_link_libraries(vehcan_drive_capture PRIVATE nlohmann_json::nlohmann_json vehcan_warnings)

# ---- vehcan plot: goldens and refusals --------------------------------------------------------
vehcan_cli_case(help.plot 0 STDOUT "Usage: vehcan plot .*--spn.*Exit status:" ARGS plot --help)
vehcan_cli_case(plot.engine_and_vehicle_speed 0 GOLDEN plot_truck.svg
  ARGS plot examples/truck.log --spn 190,84)
vehcan_cli_case(plot.states_and_a_missing_spn 0 GOLDEN plot_states.svg
  STDERR "^vehcan: no value of SPN 999 in examples/truck.log\n$"
  ARGS plot examples/truck.log --spn 1612,999,597 --width 600)
vehcan_cli_case(error.plot_png 2 STDERR "writes SVG only"
  ARGS plot examples/truck.log --spn 190 -o out.png)
vehcan_cli_case(error.plot_bad_spn 2 STDERR "'0' is not an SPN"
  ARGS plot examples/truck.log --spn 190,0)
vehcan_cli_case(error.plot_no_value 3 STDERR "none of the SPNs 999 has a value"
  ARGS plot examples/truck.log --spn 999)
vehcan_cli_case(error.replay_spn_without_report 2 STDERR "--spn chooses the signals of a --report"
  ARGS replay examples/truck.log --spn 190)

# ---- the pages in a real browser ------------------------------------------------------------
# Debian's python3 (with python3-selenium and python3-pil), chromium and chromium-driver.
find_program(_report_python python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(_chromium chromium PATHS /usr/bin NO_DEFAULT_PATH)
find_program(_chromedriver chromedriver PATHS /usr/bin NO_DEFAULT_PATH)
set(_report_libs_ok FALSE)
if(_report_python)
  execute_process(COMMAND ${_report_python} -c "import selenium, PIL"
                  RESULT_VARIABLE _report_import OUTPUT_QUIET ERROR_QUIET)
  if(_report_import EQUAL 0)
    set(_report_libs_ok TRUE)
  endif()
endif()
if(NOT _chromium OR NOT _chromedriver OR NOT _report_libs_ok
   OR NOT EXISTS ${VEHCAN_DYGRAPHS_DIR}/dygraph.min.js)
  message(STATUS "vehcan: no chromium, chromium-driver, python3-selenium, python3-pil or "
                 "libjs-dygraphs: the report's browser tests are left out")
  return()
endif()
string(JOIN " " _report_emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
set(_report_cases example long_drive codes empty bands)
# vehcan-fleet report's pages: the decoder needs Debian's protobuf and zstandard.
execute_process(COMMAND ${_report_python} -c "import google.protobuf, zstandard"
                RESULT_VARIABLE _report_fleet_import OUTPUT_QUIET ERROR_QUIET)
set(_report_sim)
if(_report_fleet_import EQUAL 0 AND TARGET vehcan-sim)
  list(APPEND _report_cases fleet_example fleet_drive)
  set(_report_sim --sim $<TARGET_FILE:vehcan-sim>)
else()
  message(STATUS "vehcan: no python3-protobuf, python3-zstandard or vehcan-sim: "
                 "vehcan-fleet report's browser tests are left out")
endif()
foreach(_case ${_report_cases})
  add_test(NAME report.browser.${_case}
    COMMAND ${_report_python} ${CMAKE_CURRENT_SOURCE_DIR}/report/browser_test.py ${_case}
            --vehcan $<TARGET_FILE:vehcan-cli> --drive $<TARGET_FILE:vehcan_drive_capture>
            ${_report_sim}
            --work ${CMAKE_CURRENT_BINARY_DIR}/report-${_case}
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
  set_tests_properties(report.browser.${_case} PROPERTIES LABELS "report;host" TIMEOUT 300
    ENVIRONMENT "VEHCAN_DB=;VEHCAN_TEST_EMULATOR=${_report_emulator}")
endforeach()
