# Builds the .deb with cpack and checks it (cmake -P):
#   BUILD_DIR  the configured and built tree
#   WORK_DIR   a scratch directory, emptied first
# The package must hold the library, the headers, vehcan-db, vehcan,
# pgnparse and the sample database, and the vehcan it ships must run from
# the unpacked tree and read that database.
file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
execute_process(COMMAND cpack -G DEB --config "${BUILD_DIR}/CPackConfig.cmake" -B "${WORK_DIR}"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
file(GLOB debs "${WORK_DIR}/*.deb")
list(LENGTH debs count)
if(NOT rc EQUAL 0 OR NOT count EQUAL 1)
  message(FATAL_ERROR "cpack failed (${rc}), ${count} packages:\n${out}\n${err}")
endif()
execute_process(COMMAND dpkg-deb -x "${debs}" "${WORK_DIR}/root" RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "dpkg-deb -x failed")
endif()
foreach(path usr/bin/vehcan usr/bin/pgnparse usr/include/j1939_stack.h usr/include/libxml2.h
             usr/include/vehcan_db.h usr/share/vehcan/sample.xml)
  if(NOT EXISTS "${WORK_DIR}/root/${path}")
    message(FATAL_ERROR "the package lacks /${path}")
  endif()
endforeach()
foreach(lib libvehcan.so.0 libvehcan-db.so.0)
  file(GLOB_RECURSE found "${WORK_DIR}/root/usr/lib*/${lib}")
  if(NOT found)
    message(FATAL_ERROR "the package lacks ${lib}")
  endif()
endforeach()
execute_process(COMMAND dpkg-deb -f "${debs}" Depends OUTPUT_VARIABLE depends)
if(NOT depends MATCHES "iproute2" OR NOT depends MATCHES "libfmt")
  message(FATAL_ERROR "unexpected Depends: ${depends}")
endif()
# The shipped tool, its libraries and its database, nothing from the build tree.
execute_process(
  COMMAND "${WORK_DIR}/root/usr/bin/vehcan" dtc 04FF6E001001FFFF
          --db "${WORK_DIR}/root/usr/share/vehcan/sample.xml"
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0 OR NOT out MATCHES "SPN 110 FMI 16, 1 occurrence: Engine Coolant Temperature")
  message(FATAL_ERROR "the packaged vehcan failed (${rc}):\n${out}\n${err}")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
