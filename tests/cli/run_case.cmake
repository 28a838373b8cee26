# SPDX-License-Identifier: MIT
# Runs vehcan once and checks what it did (cmake -P):
#   PROGRAM        the vehcan program
#   ARGS           its arguments, separated by '|'
#   WRAP           optional: a command that runs it, e.g. setpriv with its options ('|')
#   EMULATOR       optional: the emulator that runs a cross-built program ('|')
#   EXPECT_STATUS  the exit status it must end with
#   GOLDEN         optional: a file that standard output must equal
#   ACTUAL_DIR     where the output of a failed golden comparison is left
#   STDERR_MATCH   optional: a regular expression standard error must match
#   STDOUT_MATCH   optional: a regular expression standard output must match
# A failing case must also print exactly one line, starting "vehcan: ", on
# standard error. With VEHCAN_UPDATE_GOLDEN=1 in the environment the golden
# file is rewritten from the output instead (review the diff before committing).
string(REPLACE "|" ";" args "${ARGS}")
string(REPLACE "|" ";" wrap "${WRAP}")
string(REPLACE "|" ";" emulator "${EMULATOR}")
execute_process(COMMAND ${wrap} ${emulator} ${PROGRAM} ${args}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
string(REPLACE "|" " " shown "${ARGS}")
if(NOT "${status}" STREQUAL "${EXPECT_STATUS}")
  message(FATAL_ERROR "vehcan ${shown}: exit status ${status}, expected ${EXPECT_STATUS}\n"
                      "stderr: ${err}")
endif()
if(NOT EXPECT_STATUS EQUAL 0 AND NOT err MATCHES "^vehcan: [^\n]*\n$")
  message(FATAL_ERROR "vehcan ${shown}: stderr is not one 'vehcan: ' line:\n${err}")
endif()
if(DEFINED STDERR_MATCH AND NOT STDERR_MATCH STREQUAL "" AND NOT err MATCHES "${STDERR_MATCH}")
  message(FATAL_ERROR "vehcan ${shown}: stderr does not match '${STDERR_MATCH}':\n${err}")
endif()
if(DEFINED STDOUT_MATCH AND NOT STDOUT_MATCH STREQUAL "" AND NOT out MATCHES "${STDOUT_MATCH}")
  message(FATAL_ERROR "vehcan ${shown}: stdout does not match '${STDOUT_MATCH}':\n${out}")
endif()
if(DEFINED GOLDEN AND NOT GOLDEN STREQUAL "")
  if("$ENV{VEHCAN_UPDATE_GOLDEN}" STREQUAL "1")
    file(WRITE "${GOLDEN}" "${out}")
    message(STATUS "rewrote ${GOLDEN}")
    return()
  endif()
  file(READ "${GOLDEN}" want)
  if(NOT out STREQUAL want)
    get_filename_component(name "${GOLDEN}" NAME)
    set(actual "${ACTUAL_DIR}/${name}.actual")
    file(WRITE "${actual}" "${out}")
    message(FATAL_ERROR "vehcan ${shown}: output differs from ${GOLDEN}\n"
                        "actual output in ${actual}; compare with: diff ${GOLDEN} ${actual}")
  endif()
endif()
