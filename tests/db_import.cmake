# SPDX-License-Identifier: MIT
# vehcan-db-import (tools/db-import/), label db_import: vehcan's decoding of
# the converted test database against canmatrix's own, the mapping and skip
# rules, --merge into the sample database with the tool reading the result,
# and the program as its package installs it. Python unittest
# under Debian's Python, which has python3-canmatrix.
if(NOT TARGET vehcan-cli)
  return()
endif()
set(VEHCAN_PYTHON3 /usr/bin/python3 CACHE FILEPATH "The Python 3 that has python3-canmatrix")
# A cross build runs its vehcan under the emulator of the test launcher.
set(_run "")
if(CMAKE_CROSSCOMPILING)
  string(JOIN " " _run ${VEHCAN_TEST_LAUNCHER})
endif()
set(_cases
  decode_agrees_with_canmatrix:decode
  mapping_skips_and_texts:mapping
  merge_and_the_tool_reading_it:merge)
# The program's own package is Architecture: all, made by the native build.
if(NOT CMAKE_CROSSCOMPILING)
  list(APPEND _cases installed_as_packaged:install)
endif()
foreach(_case ${_cases})
  string(REPLACE ":" ";" _parts ${_case})
  list(GET _parts 0 _name)
  list(GET _parts 1 _file)
  add_test(NAME db_import.${_name}
    COMMAND ${VEHCAN_PYTHON3} -B ${CMAKE_CURRENT_SOURCE_DIR}/db_import/test_${_file}.py)
  set_tests_properties(db_import.${_name} PROPERTIES LABELS db_import TIMEOUT 300
    ENVIRONMENT "VEHCAN_SOURCE_DIR=${PROJECT_SOURCE_DIR};VEHCAN_BUILD_DIR=${PROJECT_BINARY_DIR};VEHCAN_CLI=$<TARGET_FILE:vehcan-cli>;VEHCAN_RUN=${_run}")
endforeach()
