# Two sensors recording into one PostgreSQL server at once.
add_test(NAME e2e_sensors
  COMMAND ${TARNIX_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/sensors_e2e.sh $<TARGET_FILE:tarnix-cli>
          ${PROJECT_SOURCE_DIR}/data/protocol.pdl ${PROJECT_SOURCE_DIR}/tests/db/data/curl_tinyproxy.pcap
          ${PROJECT_SOURCE_DIR}/tests/ui/data/http_top.pcap)
set_tests_properties(e2e_sensors PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 300 LABELS e2e)
