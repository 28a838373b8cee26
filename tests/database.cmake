# SPDX-License-Identifier: MIT
# ---- parameter database -------------------------------------------------------------
# The operations of libvehcan against a recording get_xml_content (defined by
# the test itself), and the same operations over vehcan-db's reader on real
# files: two programs, since each supplies its own get_xml_content. A third
# supplies none.
vehcan_add_gtest(database_lookup_tests SOURCES database_lookup_test.cpp)

if(TARGET vehcan-db-static)
  vehcan_add_gtest(database_reader_tests SOURCES database_reader_test.cpp
                   LIBS vehcan-db-static)
endif()

vehcan_add_gtest(database_nohost_tests SOURCES database_nohost_test.cpp LIBS ${CMAKE_DL_LIBS})
target_compile_definitions(database_nohost_tests PRIVATE
  VEHCAN_SHARED_LIBRARY="$<TARGET_FILE:vehcan>")
add_dependencies(database_nohost_tests vehcan)

if(TARGET vehcan-db)
  add_test(NAME exports.vehcan_db_exactly_the_public_names
    COMMAND ${CMAKE_COMMAND} -DLIB=$<TARGET_FILE:vehcan-db>
            -DEXPECTED=${CMAKE_CURRENT_SOURCE_DIR}/database_exported_symbols.txt
            -P ${CMAKE_CURRENT_SOURCE_DIR}/check_exports.cmake)
endif()
