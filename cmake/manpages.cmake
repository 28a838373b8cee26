# SPDX-License-Identifier: MIT
# The manual pages, made at build time into <build>/man and installed with
# the tools (the vehcan package), gzipped as Debian ships them:
#
#   vehcan(1), vehcan-sim(1), vehcan-db-import(1) and vehcan-fleet(1) (in
#   the packages of their own, native builds only)
#       help2man from the program's --help (cmake/man-help.sh lays it out:
#       vehcan's subcommands each get their options, the exit statuses
#       their section) plus docs/man/PROGRAM.h2m, the hand-written NAME,
#       ENVIRONMENT, FILES, EXAMPLES and SEE ALSO. The options and exit
#       statuses are never copied by hand: a new option or subcommand is in
#       the next build's page.
#   pgnparse(1), vehcan.conf(5)
#       written by hand in docs/man (pgnparse takes no options; the
#       configuration's keys are checked against the parser by the tests).
#
# A cross build runs its own programs' --help through qemu-user on the
# sysroot (CMAKE_CROSSCOMPILING_EMULATOR, as its tests do), so each
# architecture's package holds the page of the very program it ships. The
# pages' date is the release's, from the Debian changelog, so a build of
# the same sources gives the same pages.
include_guard(GLOBAL)

find_program(VEHCAN_HELP2MAN help2man)
if(NOT VEHCAN_HELP2MAN)
  message(FATAL_ERROR "help2man not found: apt-get install help2man")
endif()

file(STRINGS ${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in _release REGEX "^ -- ")
string(REGEX REPLACE ".*>  " "" _release "${_release}")
execute_process(COMMAND date -u -d "${_release}" +%s OUTPUT_VARIABLE VEHCAN_RELEASE_EPOCH
                OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND date -u -d "@${VEHCAN_RELEASE_EPOCH}" +%Y-%m-%d
                OUTPUT_VARIABLE VEHCAN_MAN_DATE OUTPUT_STRIP_TRAILING_WHITESPACE)

set(VEHCAN_MAN_DIR ${PROJECT_BINARY_DIR}/man)
set(_man_src ${PROJECT_SOURCE_DIR}/docs/man)
set(_man_pages "")

# vehcan_man_from_help(NAME PROGRAM [VERSION TEXT] [COMPONENT C]): NAME.1
# from PROGRAM's --help with docs/man/NAME.h2m, installed with component C
# (default tools). PROGRAM is a target of the build (run through the cross
# build's emulator) or a script; VERSION for a program without --version.
function(vehcan_man_from_help name program)
  cmake_parse_arguments(_m "" "VERSION;COMPONENT" "" ${ARGN})
  if(_m_COMPONENT)
    set_property(GLOBAL PROPERTY VEHCAN_MAN_COMPONENT_${name}.1.gz ${_m_COMPONENT})
  endif()
  set(page ${VEHCAN_MAN_DIR}/${name}.1)
  set(depends "")
  set(command ${program})
  if(TARGET ${program})
    set(depends ${program})
    set(command ${CMAKE_CROSSCOMPILING_EMULATOR} $<TARGET_FILE:${program}>)
  endif()
  # help2man names the program after the file it runs: a script of that name.
  # It reads standard output only, so a --help that fails leaves it nothing
  # and the build stops.
  set(runner ${VEHCAN_MAN_DIR}/bin/${name})
  string(JOIN "' '" command ${command})
  file(GENERATE OUTPUT ${runner} CONTENT
       "#!/bin/sh\nexec /bin/sh '${PROJECT_SOURCE_DIR}/cmake/man-help.sh' '${command}' -- \"$@\"\n"
       FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                        WORLD_READ WORLD_EXECUTE)
  set(version_option "")
  if(_m_VERSION)
    set(version_option "--version-string=${_m_VERSION}")
  endif()
  add_custom_command(OUTPUT ${page}.gz
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${VEHCAN_RELEASE_EPOCH}
            ${VEHCAN_HELP2MAN} --no-info --section=1
            "--source=vehcan ${PROJECT_VERSION}" --include=${_man_src}/${name}.h2m
            ${version_option} --output=${page} ${runner}
    # help2man keeps the colon of a heading "vehcan monitor [OPTIONS]:".
    COMMAND sed -i "s/^\\.SS \\(.*\\):\"$/.SS \\1\"/" ${page}
    COMMAND gzip -9nf ${page}
    DEPENDS ${depends} ${_man_src}/${name}.h2m ${PROJECT_SOURCE_DIR}/cmake/man-help.sh
            ${CMAKE_CURRENT_FUNCTION_LIST_FILE}
    COMMENT "Manual page ${name}(1)" VERBATIM)
  set_property(GLOBAL APPEND PROPERTY VEHCAN_MAN_PAGES ${page}.gz)
endfunction()

# vehcan_man_by_hand(NAME SECTION): docs/man/NAME.SECTION.in with the
# version and date filled in.
function(vehcan_man_by_hand name section)
  set(page ${VEHCAN_MAN_DIR}/${name}.${section})
  configure_file(${_man_src}/${name}.${section}.in ${page} @ONLY)
  add_custom_command(OUTPUT ${page}.gz
    COMMAND gzip -9nkf ${page}
    DEPENDS ${page} ${_man_src}/${name}.${section}.in
    COMMENT "Manual page ${name}(${section})" VERBATIM)
  set_property(GLOBAL APPEND PROPERTY VEHCAN_MAN_PAGES ${page}.gz)
endfunction()

vehcan_man_by_hand(pgnparse 1)
if(TARGET vehcan-cli)
  vehcan_man_from_help(vehcan vehcan-cli)
endif()
if(TARGET vehcan-sim)
  vehcan_man_from_help(vehcan-sim vehcan-sim VERSION "vehcan-sim ${PROJECT_VERSION}")
endif()
if(VEHCAN_BUILD_TOOLS AND NOT CMAKE_CROSSCOMPILING)
  # Python programs, packaged as Architecture: all by the native build.
  vehcan_man_from_help(vehcan-db-import ${PROJECT_SOURCE_DIR}/tools/db-import/vehcan-db-import
                       VERSION "vehcan-db-import ${PROJECT_VERSION}" COMPONENT dbimport)
  vehcan_man_from_help(vehcan-fleet ${PROJECT_SOURCE_DIR}/tools/vehcan-fleet/vehcan-fleet
                       COMPONENT fleet)
endif()
if(TARGET vehcan_service)
  vehcan_man_by_hand(vehcan.conf 5)
endif()

get_property(_pages GLOBAL PROPERTY VEHCAN_MAN_PAGES)
add_custom_target(vehcan_man_pages ALL DEPENDS ${_pages})
foreach(page ${_pages})
  string(REGEX MATCH "\\.([1-8])\\.gz$" _ "${page}")
  get_filename_component(_file ${page} NAME)
  get_property(_component GLOBAL PROPERTY VEHCAN_MAN_COMPONENT_${_file})
  if(NOT _component)
    set(_component tools)
  endif()
  install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${CMAKE_MATCH_1}
          COMPONENT ${_component})
endforeach()
