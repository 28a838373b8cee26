# SPDX-License-Identifier: MIT
# The diagnostics (tools/diag): the DM layouts against golden files, read,
# clear and DM13 against simulated ECUs on a clock of the tests' own; the
# program's diag subcommands and DM decoding against golden outputs; and the
# rig: vehcan diag against vehcan-sim's ECUs on the kernel's CAN_J1939.
if(NOT TARGET vehcan_diag)
  return()
endif()

add_executable(diag_unit_test diag_layouts_test.cpp diag_read_test.cpp diag_clear_test.cpp
               diag_fake_bus.cpp)
target_link_libraries(diag_unit_test PRIVATE vehcan_diag GTest::gtest GTest::gtest_main
                      vehcan_warnings)
target_compile_definitions(diag_unit_test PRIVATE VEHCAN_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
gtest_discover_tests(diag_unit_test TEST_PREFIX diag. DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 60)

# ---- the program: DM decoding, replay of transfers, the diag subcommands' usage --------------
if(NOT TARGET vehcan-cli)
  return()
endif()
set(_diag_dir ${CMAKE_CURRENT_SOURCE_DIR}/diag)
# Golden files of these cases live in tests/diag/golden (vehcan_cli_case looks in
# tests/cli/golden): GOLDEN names them relative to that folder.
set(_to_diag ../../diag/golden)

vehcan_cli_case(diag.decode_dm4 0 GOLDEN ${_to_diag}/decode_dm4.txt
  ARGS decode 65229 0F6E001001015AE02E2D960050A1B2C30C64000103003250140C780000 --db data/sample.xml)
vehcan_cli_case(diag.decode_dm5_json 0 GOLDEN ${_to_diag}/decode_dm5.json
  ARGS decode 65230 01031426800E0004 --json)
vehcan_cli_case(diag.decode_dm24 0 GOLDEN ${_to_diag}/decode_dm24.txt
  ARGS decode 64950 BE001C026E001C0154001C0266001E015B001D019A0C1B02)
vehcan_cli_case(diag.decode_dm25_without_dm24 0 GOLDEN ${_to_diag}/decode_dm25.txt
  ARGS decode 64951 0C6E001001E02E9600505ADEAD)
vehcan_cli_case(diag.decode_dm6_padding 0 GOLDEN ${_to_diag}/decode_dm6.txt
  ARGS decode 65231 04FF6E001001FFFFFFFF9A0C0201)
vehcan_cli_case(diag.dtc_legacy_code_read_as_version4 0 GOLDEN ${_to_diag}/dtc_as_version4.json
  ARGS dtc 5000BE0003026E00F081 --spn-conversion 4 --json)
# DM1 in the legacy layout, DM12 with none, DM23, DM5, DM4 by BAM and a DM2 of
# 1785 bytes (445 codes, both layouts) in 255 packets.
vehcan_cli_case(diag.replay_transfers 0 GOLDEN ${_to_diag}/replay_dm_transfer.txt
  ARGS replay tests/diag/dm_transfer.log)
vehcan_cli_case(diag.replay_transfers_json 0 GOLDEN ${_to_diag}/replay_dm_transfer.jsonl
  ARGS replay tests/diag/dm_transfer.log --json)

foreach(_sub read clear quiet)
  vehcan_cli_case(help.diag_${_sub} 0
    STDOUT "Usage: vehcan diag ${_sub} .*Exit status:.*10  diag clear refused by the safety check.*12  diag clear not confirmed"
    ARGS diag ${_sub} --help)
endforeach()
vehcan_cli_case(error.diag_unknown_dm 2 STDERR "--dm '7': not a DM that can be read"
  ARGS diag read --dm 1,7)
vehcan_cli_case(error.diag_dm_twice 2 STDERR "--dm names DM2 twice" ARGS diag read --dm 2,dm2)
vehcan_cli_case(error.diag_global_node 2 STDERR "--from-node 0xFF: a node has an address of"
  ARGS diag read --from-node 0xFF)
vehcan_cli_case(error.diag_bad_node 2 STDERR "--from-node 'engine' is not an address"
  ARGS diag read --from-node engine)
vehcan_cli_case(error.diag_bad_conversion 2 STDERR "--spn-conversion '3': auto"
  ARGS diag read --spn-conversion 3)
vehcan_cli_case(error.dtc_bad_conversion 2 STDERR "--spn-conversion 'v4': auto"
  ARGS dtc 04FF6E001001FFFF --spn-conversion v4)
vehcan_cli_case(error.diag_clear_what 2 STDERR "give --previous \\(DM3: previously active codes\\) or --active"
  ARGS diag clear --yes)
vehcan_cli_case(error.diag_clear_both 2 STDERR "give --previous" ARGS diag clear --previous --active --yes)
# Standard input from /dev/null: nobody can answer the question.
vehcan_cli_case(error.diag_clear_not_on_a_terminal 2 STDERR "not on a terminal.*give --yes"
  WRAP sh -c "exec \"$0\" \"$@\" </dev/null" ARGS diag clear --previous)
vehcan_cli_case(error.diag_quiet_negative 2 STDERR "--seconds must be 0" ARGS diag quiet --seconds -1)

# ---- vehcan diag against vehcan-sim's ECUs, in one rig boot ------------------------------------
# (a bash script with candump, tmux and python3 from the host's root: amd64, not cross builds)
if(TARGET vehcan-sim AND EXISTS ${PROJECT_SOURCE_DIR}/rig/run-guest.sh AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME rig.diag
    COMMAND ${PROJECT_SOURCE_DIR}/rig/run-guest.sh --timeout 540 --boot-timeout 90
            -- bash ${_diag_dir}/rig_cases.sh $<TARGET_FILE:vehcan-cli> $<TARGET_FILE:vehcan-sim>
               ${_sample})
  set_tests_properties(rig.diag PROPERTIES LABELS rig TIMEOUT 600 RUN_SERIAL TRUE)
endif()
