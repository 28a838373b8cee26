# SPDX-License-Identifier: MIT
# The Debian packages, the way Debian packages a library. After a build,
# "cpack -G DEB" in the build directory makes one package per component:
#
#   libvehcan0      runtime  libvehcan.so.0 in /usr/lib/<triplet> (SONAME)
#   libvehcan-db0   db       libvehcan-db.so.0, the parameter database reader
#   libvehcan-dev   dev      headers, the .so links, libvehcan-db.a, the CMake
#                            and pkg-config files
#   vehcan          tools    vehcan, pgnparse, vehcan-sim
#                            and the example database
#                            (/usr/share/vehcan/sample.xml); the service:
#                            vehcan.service (disabled), /etc/vehcan/vehcan.conf
#                            and the queue limit in /usr/lib/sysctl.d
#   vehcan-fleet    fleet    the fleet's decoder (Python, Architecture: all):
#                            /usr/bin/vehcan-fleet, the vehcan_fleet modules
#                            and vehcan_commands in
#                            /usr/lib/python3/dist-packages; made by the
#                            native build only
#   vehcan-db-import dbimport the importer of CAN databases (Python on
#                            canmatrix, Architecture: all): native build only
#
# Everything installed from tools/ goes to the tools component unless it
# names another (CMAKE_INSTALL_DEFAULT_COMPONENT_NAME, set around tools/).
# Architecture is the build's target; Depends come from dpkg-shlibdeps on the
# binaries plus the lists below. In a cross build dpkg-shlibdeps reads the
# target's libraries, and their packages' shlibs and symbols files, from the
# sysroot (scripts/sysroot.sh keeps a dpkg database of its packages there).
# A part that needs more in the tools package appends to the global
# properties VEHCAN_TOOLS_DEPENDS and VEHCAN_TOOLS_SUGGESTS, e.g.
#   set_property(GLOBAL APPEND PROPERTY VEHCAN_TOOLS_DEPENDS python3-canmatrix)
include_guard(GLOBAL)
include(${CMAKE_CURRENT_LIST_DIR}/VehcanRequire.cmake)

install(FILES ${PROJECT_SOURCE_DIR}/data/sample.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/vehcan COMPONENT tools)

# Each package's /usr/share/doc/<package>: copyright and changelog.
set(_doc ${PROJECT_BINARY_DIR}/debian-doc)
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${_doc}/changelog @ONLY)
execute_process(COMMAND gzip -9nf ${_doc}/changelog)
set(_packages runtime=libvehcan0 db=libvehcan-db0 dev=libvehcan-dev tools=vehcan)
set(_components runtime db dev tools)
if(NOT CMAKE_CROSSCOMPILING)
  list(APPEND _packages fleet=vehcan-fleet dbimport=vehcan-db-import)
  list(APPEND _components fleet dbimport)
endif()
foreach(pair ${_packages})
  string(REPLACE "=" ";" kv "${pair}")
  list(GET kv 0 component)
  list(GET kv 1 package)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${_doc}/changelog.gz
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  string(TOUPPER ${component} upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME ${package})
endforeach()

# The user's pages of docs/ with the tool (compressed, as Debian keeps
# documentation): vehcan.conf(5) and the configuration file point to them.
set(_user_pages tool fleet fleet-format service commands diagnostics report database)
set(_page_files)
foreach(page ${_user_pages})
  configure_file(${PROJECT_SOURCE_DIR}/docs/${page}.md ${_doc}/vehcan/${page}.md COPYONLY)
  execute_process(COMMAND gzip -9nf ${_doc}/vehcan/${page}.md)
  list(APPEND _page_files ${_doc}/vehcan/${page}.md.gz)
endforeach()
install(FILES ${_page_files} DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vehcan COMPONENT tools)

vehcan_debian_arch(_deb_arch)
set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${_components})
set(CPACK_PACKAGE_NAME vehcan)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "vehcan developers <vehcan@example.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${_deb_arch})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://vehcan.example.org/")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
# The tools link the two libraries of this build: their packages, at this
# version, come from the component dependencies, not from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  ${PROJECT_BINARY_DIR} ${PROJECT_BINARY_DIR}/db)
if(CMAKE_CROSSCOMPILING AND CMAKE_SYSROOT)
  if(NOT EXISTS ${CMAKE_SYSROOT}/var/lib/dpkg/status)
    message(FATAL_ERROR "${CMAKE_SYSROOT} has no dpkg database: make it again with scripts/sysroot.sh")
  endif()
  list(APPEND CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${CMAKE_SYSROOT}/lib/${CMAKE_LIBRARY_ARCHITECTURE}
    ${CMAKE_SYSROOT}/usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
  # cpack reads this file when it runs; dpkg-shlibdeps (through dpkg-query)
  # then asks the sysroot's database which package holds a library.
  set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_BINARY_DIR}/CPackSysroot.cmake)
  file(WRITE ${CPACK_PROJECT_CONFIG_FILE}
       "set(ENV{DPKG_ADMINDIR} \"${CMAKE_SYSROOT}/var/lib/dpkg\")\n")
endif()

# Each library package: its shlibs (what a program linking the library
# depends on) and the ldconfig trigger.
foreach(lib vehcan vehcan-db)
  set(package lib${lib}${PROJECT_VERSION_MAJOR})
  set(dir ${PROJECT_BINARY_DIR}/debian-control/${package})
  file(MAKE_DIRECTORY ${dir})
  file(WRITE ${dir}/shlibs
       "lib${lib} ${PROJECT_VERSION_MAJOR} ${package} (>= ${PROJECT_VERSION})\n")
  file(COPY ${CMAKE_CURRENT_LIST_DIR}/debian/triggers DESTINATION ${dir})
endforeach()
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA
  ${PROJECT_BINARY_DIR}/debian-control/libvehcan0/shlibs
  ${PROJECT_BINARY_DIR}/debian-control/libvehcan0/triggers)
set(CPACK_DEBIAN_DB_PACKAGE_CONTROL_EXTRA
  ${PROJECT_BINARY_DIR}/debian-control/libvehcan-db0/shlibs
  ${PROJECT_BINARY_DIR}/debian-control/libvehcan-db0/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# CPack's own ldconfig calls come out of the library packages again: the
# trigger does that work.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian/no-ldconfig-scripts.cmake)

set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "SAE J1939 stack for Linux SocketCAN gateways
libvehcan detects the bus bit rate of can0, receives and sorts all J1939
traffic on two background threads through POSIX message queues, reassembles
multi-packet transfers, sends Requests and decodes well-known parameter
groups, status fields, VIN, driver ids and DM1 trouble codes.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# The stack reconfigures can0 with ip and ifconfig.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "iproute2, net-tools")

set(CPACK_COMPONENT_DB_DESCRIPTION "J1939 parameter database reader for libvehcan
libvehcan-db reads the XML parameter database (PGNs, SPNs, states and
service components) and supplies libvehcan's database hook.")
set(CPACK_DEBIAN_DB_PACKAGE_SECTION libs)

set(CPACK_COMPONENT_DEV_DESCRIPTION "SAE J1939 stack for Linux SocketCAN gateways - development files
The C headers of libvehcan and libvehcan-db, their shared library links,
the static database reader, and the CMake package and pkg-config files.")
set(CPACK_COMPONENT_DEV_DEPENDS runtime db)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libpugixml-dev")

set(CPACK_COMPONENT_TOOLS_DESCRIPTION "SAE J1939 tools: vehcan, pgnparse and vehcan-sim
vehcan monitors a J1939 bus, requests parameter groups, decodes payloads and
trouble codes and replays candump captures; vehcan-sim plays a truck on a
CAN interface; pgnparse parses a PGN. With an example parameter database.")
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime db)
# The service: its configuration is a conffile; the maintainer scripts tell
# systemd of the unit and apply the queue limit, and never enable it.
set(CPACK_DEBIAN_TOOLS_PACKAGE_CONTROL_EXTRA
  ${CMAKE_CURRENT_LIST_DIR}/debian/vehcan/conffiles ${CMAKE_CURRENT_LIST_DIR}/debian/vehcan/postinst
  ${CMAKE_CURRENT_LIST_DIR}/debian/vehcan/prerm ${CMAKE_CURRENT_LIST_DIR}/debian/vehcan/postrm)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
get_property(_tools_depends GLOBAL PROPERTY VEHCAN_TOOLS_DEPENDS)
if(_tools_depends)
  string(JOIN ", " CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS ${_tools_depends})
endif()
get_property(_tools_suggests GLOBAL PROPERTY VEHCAN_TOOLS_SUGGESTS)
set(_tools_suggest_importer)
if(NOT CMAKE_CROSSCOMPILING)
  set(_tools_suggest_importer vehcan-db-import)
endif()
string(JOIN ", " CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS can-utils ${_tools_suggest_importer}
       ${_tools_suggests})

set(CPACK_COMPONENT_FLEET_DESCRIPTION "fleet-side decoder of vehcan's compact uplink
vehcan-fleet subscribes to the births and batches that vehcan gateways
publish to an MQTT broker (or reads them from files) and prints the
reconstructed samples as JSON lines, reporting sequence gaps and
duplicates; its Python package gives a program each signal's value at any
time.")
set(CPACK_DEBIAN_FLEET_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_FLEET_PACKAGE_SECTION python)
set(CPACK_DEBIAN_FLEET_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_FLEET_PACKAGE_DEPENDS
    "python3, python3-protobuf, python3-zstandard, python3-paho-mqtt, python3-nacl")

set(CPACK_COMPONENT_DBIMPORT_DESCRIPTION "CAN databases into vehcan's J1939 parameter database
vehcan-db-import converts a DBC (or another format canmatrix reads: KCD,
ARXML, spreadsheets) into the XML parameter database that vehcan and
libvehcan-db read, on its own or merged into an existing one, and reports
what it skipped and why.")
set(CPACK_DEBIAN_DBIMPORT_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_DBIMPORT_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_DBIMPORT_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DBIMPORT_PACKAGE_DEPENDS "python3, python3-canmatrix")
# canmatrix's optional readers: KCD and ARXML; XLSX; XLS
set(CPACK_DEBIAN_DBIMPORT_PACKAGE_SUGGESTS
    "vehcan, python3-lxml, python3-xlsxwriter, python3-xlrd, python3-xlwt")
include(CPack)
