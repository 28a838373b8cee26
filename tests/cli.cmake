# SPDX-License-Identifier: MIT
# The vehcan command-line tool: its parsers and transfer reassembly as unit
# tests, and the built program against golden outputs and exit statuses.
# The monitor and request cases need a bus: they run in the rig (rig.cli).
if(NOT TARGET vehcan-cli)
  return()
endif()

add_executable(cli_unit_test cli_candump_test.cpp cli_transport_test.cpp cli_scan_test.cpp
               cli_live_table_test.cpp fleet_uplink_test.cpp
               fleet_spool_test.cpp)
target_link_libraries(cli_unit_test PRIVATE vehcan_cli_core GTest::gtest GTest::gtest_main
                      vehcan_warnings)
gtest_discover_tests(cli_unit_test TEST_PREFIX cli. DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 60)

set(_cli_dir ${CMAKE_CURRENT_SOURCE_DIR}/cli)
set(_sample ${PROJECT_SOURCE_DIR}/data/sample.xml)

# vehcan_cli_case(NAME STATUS [GOLDEN file] [STDERR regex] [STDOUT regex] [WRAP command...]
#                 ARGS arg...)
# Runs vehcan from the source tree (so that file names in its output are
# relative) with VEHCAN_DB unset; a cross-built vehcan runs under the
# toolchain's emulator (qemu-user).
function(vehcan_cli_case name status)
  cmake_parse_arguments(C "" "GOLDEN;STDERR;STDOUT" "ARGS;WRAP" ${ARGN})
  string(JOIN "|" joined ${C_ARGS})
  string(JOIN "|" wrap ${C_WRAP})
  string(JOIN "|" emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
  set(golden "")
  if(C_GOLDEN)
    set(golden ${_cli_dir}/golden/${C_GOLDEN})
  endif()
  add_test(NAME cli.${name}
    COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:vehcan-cli> "-DARGS=${joined}" "-DWRAP=${wrap}"
            "-DEMULATOR=${emulator}"
            -DEXPECT_STATUS=${status} -DGOLDEN=${golden} "-DSTDERR_MATCH=${C_STDERR}"
            "-DSTDOUT_MATCH=${C_STDOUT}" -DACTUAL_DIR=${CMAKE_CURRENT_BINARY_DIR}
            -P ${_cli_dir}/run_case.cmake
    WORKING_DIRECTORY ${PROJECT_SOURCE_DIR})
  set_tests_properties(cli.${name} PROPERTIES ENVIRONMENT "VEHCAN_DB=" TIMEOUT 60)
endfunction()

# ---- help: every subcommand has one, with the exit statuses -----------------------------------
foreach(_sub monitor request decode dtc db replay)
  vehcan_cli_case(help.${_sub} 0
    STDOUT "Usage: vehcan ${_sub} .*Exit status:.*7  request refused.*8  the MQTT broker refused"
    ARGS ${_sub} --help)
endforeach()
vehcan_cli_case(help.top 0 STDOUT "Subcommands:.*replay" ARGS --help)

# ---- offline decoding: golden outputs --------------------------------------------------------
vehcan_cli_case(decode.engine_speed 0 GOLDEN decode_eec1.txt ARGS decode 61444 F07D8CE02E00F07D)
vehcan_cli_case(decode.engine_speed_with_database 0 GOLDEN decode_eec1_db.txt
  ARGS decode 0xF004 "f0 7d 8c e0 2e 00 f0 7d" --db data/sample.xml)
vehcan_cli_case(decode.cruise_control_json 0 GOLDEN decode_ccvs.json
  ARGS decode 65265 FF005001FFFF05FF --json)
vehcan_cli_case(decode.tachograph_states_from_database 0 GOLDEN decode_tco1_db.txt
  ARGS decode 65132 5A1E0200FFFF0050 --db data/sample.xml)
vehcan_cli_case(decode.coolant_not_available 0 GOLDEN decode_et1_na.txt
  ARGS decode 65262 FFFFFFFFFFFFFFFF)
vehcan_cli_case(decode.vehicle_weight 0 GOLDEN decode_vw.txt ARGS decode 65258 21E02EFFFFFFFFFF)
vehcan_cli_case(decode.vin 0 GOLDEN decode_vi.txt
  ARGS decode 65260 3148544D4B41414E3043483132333435362A)
vehcan_cli_case(decode.driver_ids 0 GOLDEN decode_di.txt
  ARGS decode 65131 4431434152442A2A)
vehcan_cli_case(decode.negative_acknowledgement 0 GOLDEN decode_ack.txt
  ARGS decode 59392 01FFFFFFF9ECFE00)
vehcan_cli_case(dtc.one_code_with_description 0 GOLDEN dtc_one.txt
  ARGS dtc 04FF6E001001FFFF --db data/sample.xml)
vehcan_cli_case(dtc.two_codes_json 0 GOLDEN dtc_two.json
  ARGS dtc 5000BE0003026E00F081 --json)
vehcan_cli_case(dtc.no_active_code 0 GOLDEN dtc_none.txt ARGS dtc 00FF00000000FFFF)

# ---- database queries ----------------------------------------------------------------------------
vehcan_cli_case(db.spns_of_a_pgn 0 GOLDEN db_61444.txt ARGS db 61444 --db data/sample.xml)
vehcan_cli_case(db.one_spn_with_states 0 GOLDEN db_61444_899.txt
  ARGS db 61444 899 --db data/sample.xml)
vehcan_cli_case(db.state_text 0 GOLDEN db_state.txt
  ARGS db 65265 597 --state 1 --db data/sample.xml)
vehcan_cli_case(db.service_component 0 GOLDEN db_service.txt
  ARGS db --service 7 --db data/sample.xml)

# ---- replay of the example capture and of the screen format -----------------------------------
vehcan_cli_case(replay.example_log 0 GOLDEN replay_truck.txt ARGS replay examples/truck.log)
vehcan_cli_case(replay.example_log_json 0 GOLDEN replay_truck.jsonl
  ARGS replay examples/truck.log --json)
# Malformed lines in the middle (another tool's error report, an interface
# name typed by hand) and a last line cut off: each is reported and skipped.
vehcan_cli_case(replay.malformed_lines_skipped 0 GOLDEN replay_malformed.txt
  STDERR "^tests/cli/malformed.log:13: [^\n]*\ntests/cli/malformed.log:22: identifier '0' [^\n]*\ntests/cli/malformed.log:34: timestamp has no closing '\\)'\n$"
  ARGS replay tests/cli/malformed.log)
vehcan_cli_case(replay.malformed_lines_json 0 GOLDEN replay_malformed.jsonl
  ARGS replay tests/cli/malformed.log --json)
vehcan_cli_case(replay.bad_line_skipped 0 STDOUT "1 malformed line skipped"
  STDERR "^tests/cli/bad_line.log:3: data '431000FFFFFF00G0' is not hexadecimal\n$"
  ARGS replay tests/cli/bad_line.log)
vehcan_cli_case(replay.screen_format 0 GOLDEN replay_screen.txt
  ARGS replay tests/cli/screen.txt --db data/sample.xml)

# ---- every error path: one line on stderr and its exit status -----------------------------------
vehcan_cli_case(error.no_subcommand 2 STDERR "subcommand" ARGS)
vehcan_cli_case(error.unknown_subcommand 2 STDERR "frobnicate" ARGS frobnicate)
vehcan_cli_case(error.missing_payload 2 STDERR "HEXBYTES" ARGS decode 61444)
vehcan_cli_case(error.malformed_hex 2 STDERR "malformed hex .* 'G' at position 4" ARGS decode 61444 F07G)
vehcan_cli_case(error.odd_hex 2 STDERR "one digit" ARGS decode 61444 F07)
vehcan_cli_case(error.bad_pgn 2 STDERR "'70000000' is not a PGN" ARGS decode 70000000 00)
vehcan_cli_case(error.unknown_pgn 2 STDERR "no decoder for PGN 65280"
  ARGS decode 65280 0102030405060708)
vehcan_cli_case(error.unknown_pgn_database_too 2 STDERR "nothing in the database"
  ARGS decode 65280 0102030405060708 --db data/sample.xml)
vehcan_cli_case(error.short_dm1 2 STDERR "at least 6 bytes" ARGS dtc 04FF6E00)
vehcan_cli_case(error.capture_missing 3 STDERR "cannot open capture no/such.log"
  ARGS replay no/such.log)
vehcan_cli_case(error.capture_bad_line_strict 3
  STDERR "tests/cli/bad_line.log:3: data '431000FFFFFF00G0' is not hexadecimal"
  ARGS replay tests/cli/bad_line.log --strict)
vehcan_cli_case(error.capture_empty 3 STDERR "no CAN frame in 0 lines" ARGS replay tests/cli/empty.log)
vehcan_cli_case(error.database_missing 4 STDERR "database .*no/such.xml"
  ARGS db 61444 --db no/such.xml)
vehcan_cli_case(error.database_broken 4 STDERR "database tests/cli/broken.xml:[0-9]+"
  ARGS db 61444 --db tests/cli/broken.xml)
vehcan_cli_case(error.database_broken_for_decode 4 STDERR "broken.xml"
  ARGS decode 61444 F07D8CE02E00F07D --db tests/cli/broken.xml)
vehcan_cli_case(error.database_not_given 4 STDERR "no database" ARGS db 61444)
vehcan_cli_case(error.database_without_pgn 4 STDERR "PGN 12345 is not in data/sample.xml"
  ARGS db 12345 --db data/sample.xml)
vehcan_cli_case(error.database_without_spn 4 STDERR "SPN 91 of PGN 61444 is not in"
  ARGS db 61444 91 --db data/sample.xml)
vehcan_cli_case(error.database_without_state 4 STDERR "state 9 of SPN 597"
  ARGS db 65265 597 --state 9 --db data/sample.xml)
vehcan_cli_case(error.database_without_service 4 STDERR "service component 99 is not in"
  ARGS db --service 99 --db data/sample.xml)
vehcan_cli_case(error.state_without_spn 2 STDERR "--state needs an SPN"
  ARGS db 65265 --state 1 --db data/sample.xml)
vehcan_cli_case(error.bad_spn 2 STDERR "'0' is not an SPN" ARGS db 65265 0 --db data/sample.xml)
vehcan_cli_case(error.request_bad_address 2 STDERR "--to '300' is not an address"
  ARGS request 65262 --to 300)
vehcan_cli_case(error.request_pgn_too_big 2 STDERR "PGN 65536 cannot be requested"
  ARGS request 65536)
vehcan_cli_case(error.monitor_negative_duration 2 STDERR "--duration"
  ARGS monitor --duration -1)
vehcan_cli_case(error.mqtt_bad_scheme 2 STDERR "--mqtt 'http://depot': unknown scheme"
  ARGS replay examples/truck.log --mqtt http://depot)
vehcan_cli_case(error.mqtt_bad_port 2 STDERR "bad port '99999'"
  ARGS replay examples/truck.log --mqtt mqtt://depot:99999)
vehcan_cli_case(error.mqtt_qos 2 STDERR "--qos must be 0 or 1, not 2"
  ARGS replay examples/truck.log --mqtt mqtt://127.0.0.1 --qos 2)
vehcan_cli_case(error.mqtt_tls_files_without_tls 2 STDERR "need an mqtts:// URL"
  ARGS replay examples/truck.log --mqtt mqtt://127.0.0.1 --mqtt-ca data/sample.xml)
vehcan_cli_case(error.mqtt_ca_missing 2 STDERR "--mqtt-ca no/ca.crt: No such file"
  ARGS replay examples/truck.log --mqtt mqtts://127.0.0.1 --mqtt-ca no/ca.crt)
vehcan_cli_case(error.mqtt_cert_without_key 2 STDERR "--mqtt-cert and --mqtt-key go together"
  ARGS replay examples/truck.log --mqtt mqtts://127.0.0.1 --mqtt-cert data/sample.xml)
vehcan_cli_case(error.replay_negative_speed 2 STDERR "--speed must be 0"
  ARGS replay examples/truck.log --speed -1)

# The stack cannot come up: without privileges, and without can0 (a network
# namespace of its own has none). Both need root to set up, as CI has.
find_program(_setpriv setpriv)
find_program(_unshare unshare)
execute_process(COMMAND id -u OUTPUT_VARIABLE _uid OUTPUT_STRIP_TRAILING_WHITESPACE)
if(_setpriv AND _unshare AND _uid STREQUAL "0")
  vehcan_cli_case(error.monitor_not_root 5 STDERR "needs root or CAP_NET_ADMIN"
    WRAP ${_setpriv} --reuid=65534 --regid=65534 --clear-groups --inh-caps=-all
         --bounding-set=-all
    ARGS monitor --duration 1)
  vehcan_cli_case(error.monitor_no_can0 5 STDERR "no interface can0"
    WRAP ${_unshare} --net ARGS monitor --duration 1)
  vehcan_cli_case(error.request_no_can0 5 STDERR "no interface can0"
    WRAP ${_unshare} --net ARGS request 65262)
endif()

# ---- monitor and request against vehcan-sim, in one rig boot -------------------------------------
# (bash scripts run by the host's bash: not in cross builds)
# claim_peer: another node that holds or takes an address, for the claim's cases.
if(TARGET vehcan-sim AND EXISTS ${PROJECT_SOURCE_DIR}/rig/run-guest.sh AND NOT CMAKE_CROSSCOMPILING)
  add_executable(claim_peer ${_cli_dir}/claim_peer.cpp)
  target_link_libraries(claim_peer PRIVATE vehcan_claim vehcan_warnings)
  add_test(NAME rig.cli
    COMMAND ${PROJECT_SOURCE_DIR}/rig/run-guest.sh --timeout 540 --boot-timeout 90
            -- bash ${_cli_dir}/rig_cases.sh $<TARGET_FILE:vehcan-cli> $<TARGET_FILE:vehcan-sim>
               ${_sample} $<TARGET_FILE:claim_peer>)
  set_tests_properties(rig.cli PROPERTIES LABELS rig TIMEOUT 600 RUN_SERIAL TRUE)
endif()
