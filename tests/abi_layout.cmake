# SPDX-License-Identifier: MIT
# ---- record layout of the public header, per ABI (compile-time check) ----------------
add_library(abi_layout_check OBJECT ${CMAKE_CURRENT_LIST_DIR}/abi_layout.c)
target_include_directories(abi_layout_check PRIVATE ${PROJECT_SOURCE_DIR}/include)
target_compile_options(abi_layout_check PRIVATE -std=c11 -Wall -Wextra -Wpedantic -Werror)
