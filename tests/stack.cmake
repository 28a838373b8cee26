# SPDX-License-Identifier: MIT
# The J1939 stack on a scripted platform, and the conversion helpers.
add_library(vehcan_fake_platform STATIC fake_platform.cpp)
target_link_libraries(vehcan_fake_platform PUBLIC vehcan_testable PRIVATE vehcan_warnings)

vehcan_add_gtest(stack_bringup_tests SOURCES stack_bringup_test.cpp LIBS vehcan_fake_platform)
vehcan_add_gtest(stack_traffic_tests SOURCES stack_traffic_test.cpp LIBS vehcan_fake_platform)
vehcan_add_gtest(transfer_tests SOURCES transfers_test.cpp LIBS vehcan_fake_platform)
vehcan_add_gtest(reassembly_tests SOURCES reassembly_test.cpp)
vehcan_add_gtest(request_tests SOURCES request_test.cpp LIBS vehcan_fake_platform)
vehcan_add_gtest(helper_tests SOURCES helpers_test.cpp)
