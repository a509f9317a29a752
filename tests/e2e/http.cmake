# HTTP recording: curl, a web server and tinyproxy in network namespaces,
# captured live by the headless program into a fresh database.
add_test(NAME e2e_http
  COMMAND ${TARNIX_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/http_e2e.sh $<TARGET_FILE:tarnix-cli>
          ${CMAKE_CURRENT_BINARY_DIR}/http_e2e)
set_tests_properties(e2e_http PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 180
  RESOURCE_LOCK tarnix_netns LABELS e2e)
