# SPDX-License-Identifier: MIT
# Writes OUTPUT, a C++ source that defines the page's files as byte arrays
# (page_files.h declares them):
#   cmake -DOUTPUT=page_files.cpp -DPAGE_DIR=page -P embed_page.cmake
set(_names kPageTemplate kPageScript kPageStyle)
set(_files report.html report.js report.css)
set(_out "// Written by tools/report/embed_page.cmake from tools/report/page: do not edit.\n")
string(APPEND _out "#include \"page_files.h\"\n\nnamespace vehcan::report {\n")
foreach(_name _file IN ZIP_LISTS _names _files)
  file(READ ${PAGE_DIR}/${_file} _hex HEX)
  string(LENGTH "${_hex}" _digits)
  math(EXPR _size "${_digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "'\\\\x\\1'," _bytes "${_hex}")
  # Lines of 16 bytes.
  string(REGEX REPLACE "(('[^']+',){16})" "\\1\n" _bytes "${_bytes}")
  string(APPEND _out "\nextern const char ${_name}[] = {\n${_bytes}};\n")
  string(APPEND _out "extern const std::size_t ${_name}Size = ${_size};\n")
endforeach()
string(APPEND _out "\n} // namespace vehcan::report\n")
file(WRITE ${OUTPUT}.tmp "${_out}")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.tmp)
