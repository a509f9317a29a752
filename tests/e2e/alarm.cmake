# Alarms fired by real traffic through the headless program.
add_test(NAME e2e_alarm
  COMMAND ${TARNIX_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/alarm_e2e.sh $<TARGET_FILE:tarnix-cli>
          ${PROJECT_SOURCE_DIR}/data/protocol.pdl ${PROJECT_SOURCE_DIR}/tests/db/data/curl_tinyproxy.pcap)
set_tests_properties(e2e_alarm PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120 LABELS e2e)
