# SPDX-License-Identifier: MIT
# Checks that every line of FILE is one JSON object (cmake -DFILE=... -P).
file(READ "${FILE}" text)
string(REPLACE ";" "," text "${text}") # keep CMake's list separator out of the lines
string(REPLACE "\n" ";" lines "${text}")
set(n 0)
foreach(line IN LISTS lines)
  if(line STREQUAL "")
    continue()
  endif()
  math(EXPR n "${n} + 1")
  string(JSON type ERROR_VARIABLE error TYPE "${line}")
  if(error OR NOT type STREQUAL "OBJECT")
    message(FATAL_ERROR "line ${n} is not a JSON object (${error}): ${line}")
  endif()
endforeach()
if(n EQUAL 0)
  message(FATAL_ERROR "no line in ${FILE}")
endif()
