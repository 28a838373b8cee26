# SPDX-License-Identifier: MIT
# The stack on a scripted platform: idle CPU, waiting CPU, request latency.
if(VEHCAN_BUILD_TESTS)
  add_executable(stack_bench ${CMAKE_CURRENT_SOURCE_DIR}/stack_bench.cpp)
  target_include_directories(stack_bench PRIVATE ${PROJECT_SOURCE_DIR}/tests)
  target_link_libraries(stack_bench PRIVATE vehcan_fake_platform vehcan_warnings)
endif()
