# The Debian package. After a build, "cpack -G DEB" in the build directory
# makes vehcan_<version>_<arch>.deb: libvehcan and its headers, vehcan-db,
# the vehcan tool, vehcan-db-import, pgnparse, vehcan-sim and the sample
# parameter database (/usr/share/vehcan/sample.xml), with the CMake and
# pkg-config files.
install(FILES ${PROJECT_SOURCE_DIR}/data/sample.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/vehcan)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vehcan)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
  "libvehcan detects the bus bit rate of can0, receives and sorts J1939 traffic, requests
parameter groups and decodes them; vehcan monitors a bus, requests, decodes payloads and
replays candump captures.")
set(CPACK_PACKAGE_CONTACT "vehcan developers")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_STRIP_FILES ON)
# The libraries the programs link (fmt, pugixml, the C++ runtime) come from
# dpkg-shlibdeps; the stack reconfigures can0 with ip and ifconfig.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "iproute2, net-tools")
string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", python3-canmatrix") # vehcan-db-import reads with it
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "can-utils")
# More input formats for vehcan-db-import (KCD, ARXML; XLSX; XLS).
string(APPEND CPACK_DEBIAN_PACKAGE_SUGGESTS
  ", python3-lxml, python3-xlsxwriter, python3-xlrd, python3-xlwt")
include(CPack)
