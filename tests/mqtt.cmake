# SPDX-License-Identifier: MIT
# The MQTT uplink of vehcan against a real broker (Debian's mosquitto) on
# 127.0.0.1, labelled "mqtt": one entry per case, each with brokers of its
# own on free ports (tests/mqtt/run_case.sh).
if(NOT TARGET vehcan-cli)
  return()
endif()
find_program(_mosquitto mosquitto PATHS /usr/sbin)
find_program(_mosquitto_sub mosquitto_sub)
find_program(_openssl openssl)
find_program(_sqlite3 sqlite3)
find_program(_jq jq)
find_program(_strace strace)
if(NOT _mosquitto OR NOT _mosquitto_sub OR NOT _openssl OR NOT _sqlite3 OR NOT _jq OR NOT _strace)
  message(STATUS "vehcan: no mosquitto, mosquitto-clients, openssl, sqlite3, jq or strace: the MQTT tests are left out")
  return()
endif()
# A cross build's vehcan runs under its qemu-user.
string(JOIN " " _mqtt_emulator ${CMAKE_CROSSCOMPILING_EMULATOR})
# (the compact cases read the payloads with tests/fleet_payload_lines.cpp, run on the build machine)
set(_payload_lines "")
if(TARGET fleet_payload_lines AND NOT CMAKE_CROSSCOMPILING)
  set(_payload_lines $<TARGET_FILE:fleet_payload_lines>)
endif()
foreach(_case replay_topics_and_json dm1_retained last_will rate_limit tls_and_password
              broker_outage backlog_overflow spool_kill_and_backfill spool_long_outage
              spool_fsyncs compact_births_and_reconnect compact_seq_gap
              compact_spool_kill_alarms_first)
  if(_case MATCHES "^compact_" AND NOT _payload_lines)
    continue()
  endif()
  add_test(NAME mqtt.${_case}
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/mqtt/run_case.sh $<TARGET_FILE:vehcan-cli> ${_case})
  set_tests_properties(mqtt.${_case} PROPERTIES LABELS mqtt TIMEOUT 240
    ENVIRONMENT "VEHCAN_DB=;VEHCAN_TEST_MOSQUITTO=${_mosquitto};VEHCAN_TEST_EMULATOR=${_mqtt_emulator};VEHCAN_TEST_PAYLOAD_LINES=${_payload_lines}")
endforeach()

# ---- monitor --mqtt against vehcan-sim in the rig, the broker on the guest's loopback ----
# (a bash script with the host's mosquitto: the x86 guest only, not in cross builds)
if(TARGET vehcan-sim AND EXISTS ${PROJECT_SOURCE_DIR}/rig/run-guest.sh AND NOT CMAKE_CROSSCOMPILING)
  add_test(NAME rig.mqtt
    COMMAND ${PROJECT_SOURCE_DIR}/rig/run-guest.sh --timeout 520 --boot-timeout 90
            -- bash ${CMAKE_CURRENT_SOURCE_DIR}/mqtt/rig_cases.sh $<TARGET_FILE:vehcan-cli>
               $<TARGET_FILE:vehcan-sim>)
  set_tests_properties(rig.mqtt PROPERTIES LABELS rig TIMEOUT 570 RUN_SERIAL TRUE)
  # a power cut of the guest with the spool on a disk image of its own, then a second boot
  find_program(_mkfs_ext4 mkfs.ext4 PATHS /usr/sbin /sbin)
  if(_mkfs_ext4 AND TARGET fleet_payload_lines)
    add_test(NAME rig.mqtt_power_cut
      COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/mqtt/rig_power_cut.sh $<TARGET_FILE:vehcan-cli>
              $<TARGET_FILE:vehcan-sim>)
    set_tests_properties(rig.mqtt_power_cut PROPERTIES LABELS rig TIMEOUT 900 RUN_SERIAL TRUE
      ENVIRONMENT "VEHCAN_TEST_PAYLOAD_LINES=$<TARGET_FILE:fleet_payload_lines>")
  endif()
endif()
