# SPDX-License-Identifier: MIT
# The parameter database: indexed reader against parsing on every lookup.
find_package(pugixml QUIET)
if(benchmark_FOUND AND pugixml_FOUND AND TARGET vehcan-db-static)
  add_executable(database_bench ${CMAKE_CURRENT_SOURCE_DIR}/database_bench.cpp)
  target_compile_definitions(database_bench PRIVATE VEHCAN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  # The bench supplies its own get_xml_content and takes only the reader from
  # the archive.
  target_link_libraries(database_bench PRIVATE vehcan_testable vehcan-db-static
                        pugixml::pugixml benchmark::benchmark vehcan_warnings)
endif()
