# HTTPS visits from real TLS handshakes: the committed capture read from the
# file and replayed live over a veth pair.
add_test(NAME e2e_tls
  COMMAND ${TARNIX_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/tls_e2e.sh $<TARGET_FILE:tarnix-cli>
          ${PROJECT_SOURCE_DIR}/tests/db/data/tls_handshakes.pcap)
set_tests_properties(e2e_tls PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120
  RESOURCE_LOCK tarnix_netns LABELS e2e)
