# SPDX-License-Identifier: MIT
# The build machine's setup scripts: the package lists by purpose, the line
# that names an index apt-get could not fetch, the machine's Debian sources,
# and the parts of a sysroot (relative links, the dpkg database that
# dpkg-shlibdeps reads), and the memory of clang-tidy's clean sources. They run on the build machine, so once, in the
# native build (tests/setup/run_case.sh).
if(CMAKE_CROSSCOMPILING)
  return()
endif()
foreach(_case lists_by_purpose failed_index_named machine_sources relative_links dpkg_database
              tidy_cache)
  add_test(NAME setup.${_case}
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/setup/run_case.sh ${PROJECT_SOURCE_DIR} ${_case})
  set_tests_properties(setup.${_case} PROPERTIES LABELS host TIMEOUT 60 SKIP_RETURN_CODE 77)
endforeach()
