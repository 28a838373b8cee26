# The Debian package (cmake/packaging.cmake): made with cpack, unpacked and
# its vehcan run against its own sample database.
if(TARGET vehcan-cli AND NOT CMAKE_CROSSCOMPILING)
  find_program(_dpkg_deb dpkg-deb)
  if(_dpkg_deb)
    add_test(NAME package.deb_holds_and_runs_the_tool
      COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${PROJECT_BINARY_DIR}
              -DWORK_DIR=${PROJECT_BINARY_DIR}/package-check
              -P ${CMAKE_CURRENT_SOURCE_DIR}/packaging/check_deb.cmake)
    set_tests_properties(package.deb_holds_and_runs_the_tool PROPERTIES TIMEOUT 300)
  endif()
endif()
