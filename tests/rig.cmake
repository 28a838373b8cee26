# SPDX-License-Identifier: MIT
# The real-kernel rig (rig/): the stack against Linux CAN_J1939 in a QEMU
# guest, with vehcan-sim as the truck. One CTest entry per guest boot,
# labelled "rig": scripts/test-all.sh leaves it out of the unit run and
# scripts/check.d/50-rig.sh runs it alone, printing every case's result.
# Not in sanitized builds: the guest would run those binaries without their
# runtime's support, and each boot costs a minute. A cross build for ARM runs
# in the arm64 guest: arm64 programs natively, armhf (32-bit) programs on
# the 64-bit kernel through its compat layer.
option(VEHCAN_RIG "Add the real-kernel rig to the tests" ON)
set(_rig_arch "")
if(NOT CMAKE_CROSSCOMPILING)
  set(_rig_arch amd64)
elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm)")
  set(_rig_arch arm64)
endif()
if(VEHCAN_RIG AND NOT VEHCAN_SANITIZE AND _rig_arch)
  add_subdirectory(${PROJECT_SOURCE_DIR}/rig ${PROJECT_BINARY_DIR}/rig)
endif()
if(TARGET vehcan_rig_tests)
  add_test(NAME rig.stack_on_kernel
    COMMAND ${PROJECT_SOURCE_DIR}/rig/run-guest.sh --arch ${_rig_arch} --timeout 540
            --boot-timeout 90 -- $<TARGET_FILE:vehcan_rig_tests> --gtest_color=no)
  set_tests_properties(rig.stack_on_kernel PROPERTIES
    LABELS rig TIMEOUT 600 RUN_SERIAL TRUE)
endif()

# The vehcan service in a systemd-booted Debian 12 guest of the build's
# architecture, its packages installed with dpkg (rig/service-guest-test.sh).
# amd64: two boots with a power cut between them, then the packages'
# upgrade, removal and purge. arm64 and armhf, on the arm64 kernel: one boot,
# the service under its unit and system-call filter. The guest's image is
# made once (mmdebstrap, several minutes; on ARM under qemu-user) and
# cached under /var/cache/vehcan-rig until its package list changes.
if(VEHCAN_RIG AND NOT VEHCAN_SANITIZE AND _rig_arch AND TARGET vehcan-cli AND TARGET vehcan-sim)
  vehcan_debian_arch(_service_arch)
  add_test(NAME rig.service
    COMMAND ${PROJECT_SOURCE_DIR}/rig/service-guest-test.sh --arch ${_service_arch}
            ${PROJECT_BINARY_DIR})
  set_tests_properties(rig.service PROPERTIES LABELS rig TIMEOUT 2400 RUN_SERIAL TRUE)
endif()
