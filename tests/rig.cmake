# The real-kernel rig (rig/): the stack against Linux CAN_J1939 in a QEMU
# guest, with vehcan-sim as the truck. One CTest entry per guest boot,
# labelled "rig": scripts/test-all.sh leaves it out of the unit run and
# scripts/check.d/50-rig.sh runs it alone, printing every case's result.
# Not in sanitized or cross builds: the guest would run those binaries
# without their runtime's support, and each boot costs a minute.
option(VEHCAN_RIG "Add the real-kernel rig to the tests" ON)
if(VEHCAN_RIG AND NOT VEHCAN_SANITIZE AND NOT CMAKE_CROSSCOMPILING)
  add_subdirectory(${PROJECT_SOURCE_DIR}/rig ${PROJECT_BINARY_DIR}/rig)
endif()
if(TARGET vehcan_rig_tests)
  add_test(NAME rig.stack_on_kernel
    COMMAND ${PROJECT_SOURCE_DIR}/rig/run-guest.sh --timeout 540 --boot-timeout 90
            -- $<TARGET_FILE:vehcan_rig_tests> --gtest_color=no)
  set_tests_properties(rig.stack_on_kernel PROPERTIES
    LABELS rig TIMEOUT 600 RUN_SERIAL TRUE)
endif()
