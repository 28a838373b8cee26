# SPDX-License-Identifier: MIT
# The compact fleet link without a broker: the format's fixtures (the
# contract with the fleet's decoder), the collection's error bound on
# random signals and on captures, the campaign's rules. The broker cases are
# in mqtt.cmake.
if(NOT TARGET vehcan_fleet OR NOT TARGET vehcan_cli_core)
  return()
endif()

add_executable(fleet_unit_test fleet_format_test.cpp fleet_collection_test.cpp
               fleet_capture_test.cpp ${PROJECT_SOURCE_DIR}/tools/sim/road_drive.cpp)
target_include_directories(fleet_unit_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/sim)
target_link_libraries(fleet_unit_test PRIVATE vehcan_cli_core vehcan_fleet vehcan_fleet_schema GTest::gtest
                      GTest::gtest_main vehcan_warnings)
# (a cross build's fixtures test runs the tool under its qemu-user)
string(JOIN " " _tool_emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
target_compile_definitions(fleet_unit_test PRIVATE VEHCAN_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
                           VEHCAN_BINARY_DIR="${PROJECT_BINARY_DIR}"
                           VEHCAN_TOOL_EMULATOR="${_tool_emulator}")
gtest_discover_tests(fleet_unit_test TEST_PREFIX fleet. DISCOVERY_TIMEOUT 60
                     PROPERTIES TIMEOUT 120 ENVIRONMENT "VEHCAN_DB=")

# The MQTT tests' reader of what a subscriber saw (mqtt.cmake).
add_executable(fleet_payload_lines fleet_payload_lines.cpp)
target_link_libraries(fleet_payload_lines PRIVATE vehcan_fleet vehcan_warnings)
