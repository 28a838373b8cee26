# SPDX-License-Identifier: MIT
# Commands from the fleet (tools/commands): the envelope, the gate and desk
# with each rejection class, the record across a reopen and a killed
# process, the limits and the operations' arguments, as unit tests; the
# fleet's Python side and the two sides' signatures checked against each
# other through commands_tool. The broker and the rig cases come with the
# service's subscription.
if(NOT TARGET vehcan_commands)
  return()
endif()

add_executable(commands_unit_test
  commands_envelope_test.cpp
  commands_gate_test.cpp
  commands_store_test.cpp
  commands_limits_test.cpp)
target_link_libraries(commands_unit_test PRIVATE vehcan_commands GTest::gtest GTest::gtest_main
                      vehcan_warnings)
target_compile_definitions(commands_unit_test PRIVATE VEHCAN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
gtest_discover_tests(commands_unit_test TEST_PREFIX commands. DISCOVERY_TIMEOUT 60
                     PROPERTIES TIMEOUT 60)

add_executable(commands_tool commands_tool.cpp)
target_link_libraries(commands_tool PRIVATE vehcan_commands vehcan_warnings)

set(VEHCAN_PYTHON3 /usr/bin/python3 CACHE FILEPATH "The Python 3 that has python3-canmatrix")
# A cross build runs its commands_tool under the emulator of the test launcher.
set(_commands_run "")
if(CMAKE_CROSSCOMPILING)
  string(JOIN " " _commands_run ${VEHCAN_TEST_LAUNCHER})
endif()
add_test(NAME commands.fleet_side_and_cross_language
  COMMAND ${VEHCAN_PYTHON3} -B ${CMAKE_CURRENT_SOURCE_DIR}/commands/test_vehcan_commands.py -v)
set_tests_properties(commands.fleet_side_and_cross_language PROPERTIES TIMEOUT 120
  ENVIRONMENT "VEHCAN_SOURCE_DIR=${PROJECT_SOURCE_DIR};VEHCAN_COMMANDS_TOOL=$<TARGET_FILE:commands_tool>;VEHCAN_RUN=${_commands_run}")

# ---- the service's commands against Debian's mosquitto --------------------------------------
# commands_gateway: vehcan monitor's wiring of commands (uplink, record,
# worker) with operations that write down their runs, the witness; the
# fleet's side is vehcan-fleet from the checkout.
find_program(_commands_mosquitto mosquitto PATHS /usr/sbin)
if(TARGET vehcan_cli_core AND _commands_mosquitto)
  add_executable(commands_gateway commands_gateway.cpp)
  target_link_libraries(commands_gateway PRIVATE vehcan_cli_core vehcan_warnings)
  add_test(NAME commands.service_and_broker
    COMMAND ${VEHCAN_PYTHON3} -B ${CMAKE_CURRENT_SOURCE_DIR}/commands/test_service_mqtt.py -v)
  set_tests_properties(commands.service_and_broker PROPERTIES LABELS mqtt TIMEOUT 600
    ENVIRONMENT "VEHCAN_SOURCE_DIR=${PROJECT_SOURCE_DIR};VEHCAN_PYTHON3=${VEHCAN_PYTHON3};VEHCAN_TEST_MOSQUITTO=${_commands_mosquitto};VEHCAN_COMMANDS_GATEWAY=$<TARGET_FILE:commands_gateway>;VEHCAN_RUN=${_commands_run}")
endif()
