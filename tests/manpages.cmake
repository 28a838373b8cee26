# SPDX-License-Identifier: MIT
# The manual pages (cmake/manpages.cmake) against their programs, as man
# shows them (tests/manpages/check_page.sh): every option, subcommand and
# exit status of --help in the page made from it, pgnparse's example output
# its own, and vehcan.conf(5)'s keys the parser's. In a cross build the
# programs run under qemu-user, as the pages were made.
get_property(_man_pages GLOBAL PROPERTY VEHCAN_MAN_PAGES)
if(NOT _man_pages)
  return()
endif()
set(_man_check ${CMAKE_CURRENT_SOURCE_DIR}/manpages/check_page.sh)
set(_man_cases "pgnparse|output|1|$<TARGET_FILE:pgnparse>")
if(TARGET vehcan-cli)
  list(APPEND _man_cases "vehcan|options|1|$<TARGET_FILE:vehcan-cli>"
                         "vehcan.conf|conf|5|$<TARGET_FILE:vehcan-cli>")
endif()
if(TARGET vehcan-sim)
  list(APPEND _man_cases "vehcan-sim|options|1|$<TARGET_FILE:vehcan-sim>")
endif()
if(VEHCAN_BUILD_TOOLS AND NOT CMAKE_CROSSCOMPILING)
  list(APPEND _man_cases
       "vehcan-db-import|options|1|${PROJECT_SOURCE_DIR}/tools/db-import/vehcan-db-import")
endif()
foreach(_case ${_man_cases})
  string(REPLACE "|" ";" _fields "${_case}")
  list(GET _fields 0 _page)
  list(GET _fields 1 _check)
  list(GET _fields 2 _section)
  list(GET _fields 3 _program)
  set(_run ${CMAKE_CROSSCOMPILING_EMULATOR} ${_program})
  if(_page STREQUAL "vehcan-db-import")
    set(_run ${_program}) # Python: the build machine's
  endif()
  add_test(NAME man.${_page}.${_section}_agrees_with_the_program
    COMMAND bash ${_man_check} ${_check} ${VEHCAN_MAN_DIR}/${_page}.${_section}.gz -- ${_run})
  set_tests_properties(man.${_page}.${_section}_agrees_with_the_program PROPERTIES LABELS host TIMEOUT 120)
endforeach()
