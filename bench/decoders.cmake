# SPDX-License-Identifier: MIT
# The built-in decoders and the DM1 decoder: cost per call.
if(benchmark_FOUND)
  add_executable(decoders_bench ${CMAKE_CURRENT_SOURCE_DIR}/decoders_bench.cpp)
  target_link_libraries(decoders_bench PRIVATE vehcan_testable benchmark::benchmark
                        vehcan_warnings)
endif()
