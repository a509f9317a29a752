# Two and three stations claiming one IPv4 address, in a crafted capture,
# reported by the headless program in the order they were seen.
add_test(NAME e2e_dupip
  COMMAND ${TARNIX_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/dupip_e2e.sh $<TARGET_FILE:tarnix-cli>
          $<TARGET_FILE:make_dupip_pcap>)
set_tests_properties(e2e_dupip PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120 LABELS e2e)
