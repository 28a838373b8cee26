# SPDX-License-Identifier: MIT
# Runs vehcan once (cmake -P) and checks its exit status and standard error:
#   PROGRAM, ARGS ('|'-separated), EXPECT_STATUS, STDERR_MATCH (a regular
#   expression the whole of standard error must match), EMULATOR (optional,
#   '|'-separated: what runs a cross-built program).
string(REPLACE "|" ";" args "${ARGS}")
string(REPLACE "|" ";" emulator "${EMULATOR}")
execute_process(COMMAND ${emulator} ${PROGRAM} ${args} RESULT_VARIABLE status OUTPUT_VARIABLE out
                ERROR_VARIABLE err)
string(REPLACE "|" " " shown "${ARGS}")
if(NOT "${status}" STREQUAL "${EXPECT_STATUS}")
  message(FATAL_ERROR "vehcan ${shown}: exit status ${status}, expected ${EXPECT_STATUS}\n"
                      "stderr: ${err}")
endif()
if(NOT err MATCHES "${STDERR_MATCH}")
  message(FATAL_ERROR "vehcan ${shown}: stderr does not match '${STDERR_MATCH}':\n${err}")
endif()
