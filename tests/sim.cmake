# SPDX-License-Identifier: MIT
# vehcan-sim's drive cycle: the values the simulated truck reports over time
# and the payload bytes they are written into.
if(NOT TARGET vehcan-sim)
  return()
endif()

add_executable(sim_drive_cycle_test sim_drive_cycle_test.cpp
               ${PROJECT_SOURCE_DIR}/tools/sim/drive_cycle.cpp)
target_include_directories(sim_drive_cycle_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/sim)
target_link_libraries(sim_drive_cycle_test PRIVATE GTest::gtest GTest::gtest_main vehcan_warnings)
gtest_discover_tests(sim_drive_cycle_test TEST_PREFIX sim. DISCOVERY_TIMEOUT 60
                     PROPERTIES TIMEOUT 60)

# The bus-rate gate's view of a link: its changes seen at once.
add_executable(sim_link_watch_test sim_link_watch_test.cpp)
target_link_libraries(sim_link_watch_test PRIVATE vehcan_can_link GTest::gtest GTest::gtest_main
                      vehcan_warnings)
gtest_discover_tests(sim_link_watch_test TEST_PREFIX sim. DISCOVERY_TIMEOUT 60
                     PROPERTIES TIMEOUT 60)

# The simulated ECUs' diagnostic memories, read as the rig's suites read
# them: the library's DM1 decoder and the diagnostics room's parsers.
if(TARGET vehcan_diag)
  vehcan_add_gtest(sim_diagnostics_test
    SOURCES sim_diagnostics_test.cpp ${PROJECT_SOURCE_DIR}/tools/sim/diagnostics.cpp
    LIBS vehcan_diag)
  target_include_directories(sim_diagnostics_test PRIVATE ${PROJECT_SOURCE_DIR}/tools/sim)
endif()
