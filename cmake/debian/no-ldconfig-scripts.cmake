# SPDX-License-Identifier: MIT
# Run by cpack after it made the packages (CPACK_POST_BUILD_SCRIPTS). CPack
# gives every package with a shared library in /usr/lib a postinst and a
# postrm that call ldconfig; Debian's libraries have none and let dpkg's
# ldconfig trigger (their "triggers" file: activate-noawait ldconfig) run
# it once per dpkg run instead. This takes the two scripts out of the
# library packages again, leaving everything else as cpack made it.
foreach(deb ${CPACK_PACKAGE_FILES})
  get_filename_component(name "${deb}" NAME)
  if(NOT name MATCHES "^libvehcan(-db)?[0-9]+_.*\\.deb$")
    continue()
  endif()
  set(tree "${deb}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb -R "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
  file(STRINGS "${tree}/DEBIAN/triggers" triggers)
  if(NOT "activate-noawait ldconfig" IN_LIST triggers)
    message(FATAL_ERROR "${name} has no ldconfig trigger: its ldconfig calls are kept")
  endif()
  file(REMOVE "${tree}/DEBIAN/postinst" "${tree}/DEBIAN/postrm")
  execute_process(COMMAND dpkg-deb --root-owner-group -Zxz -b "${tree}" "${deb}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(REMOVE_RECURSE "${tree}")
endforeach()
