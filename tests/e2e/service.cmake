# The sensor's service face: metrics, JSON API, token, events and alarm
# deliveries, against a live capture fed by tcpreplay in network namespaces.
add_test(NAME e2e_service
  COMMAND ${TARNIX_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/service_e2e.sh $<TARGET_FILE:tarnix-cli>
          ${PROJECT_SOURCE_DIR}/data/protocol.pdl)
set_tests_properties(e2e_service PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 240
  RESOURCE_LOCK tarnix_netns LABELS e2e)
