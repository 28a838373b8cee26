# SPDX-License-Identifier: MIT
# The address claim: the NAME, the arbitration and the claimer's frames, with
# the command line's address options. The claim on the bus runs in the rig
# (rig.cli).
if(NOT TARGET vehcan_claim OR NOT TARGET vehcan_cli_core)
  return()
endif()

add_executable(claim_unit_test claim_name_test.cpp claim_arbitration_test.cpp)
target_link_libraries(claim_unit_test PRIVATE vehcan_claim vehcan_cli_core GTest::gtest
                      GTest::gtest_main vehcan_warnings)
gtest_discover_tests(claim_unit_test TEST_PREFIX claim. DISCOVERY_TIMEOUT 60
                     PROPERTIES TIMEOUT 60)
