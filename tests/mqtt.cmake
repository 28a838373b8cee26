# The MQTT uplink of vehcan against a real broker (Debian's mosquitto) on
# 127.0.0.1, labelled "mqtt": one entry per case, each with brokers of its
# own on free ports (tests/mqtt/run_case.sh).
if(NOT TARGET vehcan-cli)
  return()
endif()
find_program(_mosquitto mosquitto PATHS /usr/sbin)
find_program(_mosquitto_sub mosquitto_sub)
find_program(_openssl openssl)
if(NOT _mosquitto OR NOT _mosquitto_sub OR NOT _openssl)
  message(STATUS "vehcan: no mosquitto, mosquitto-clients or openssl: the MQTT tests are left out")
  return()
endif()
foreach(_case replay_topics_and_json dm1_retained last_will rate_limit tls_and_password
              broker_outage backlog_overflow)
  add_test(NAME mqtt.${_case}
    COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/mqtt/run_case.sh $<TARGET_FILE:vehcan-cli> ${_case})
  set_tests_properties(mqtt.${_case} PROPERTIES LABELS mqtt TIMEOUT 240
    ENVIRONMENT "VEHCAN_DB=;VEHCAN_TEST_MOSQUITTO=${_mosquitto}")
endforeach()
