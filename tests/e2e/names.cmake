# Names heard on the wire, end to end: real DNS and DHCP traffic made in
# network namespaces (dnsmasq, udhcpc, dig, curl), read back by the headless
# program with --no-resolve and compared with tshark's list of names; then a
# live run with --no-resolve that must send no DNS query.
add_test(NAME e2e_names
  COMMAND ${TARNIX_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/names_e2e.sh $<TARGET_FILE:tarnix-cli>
          ${PROJECT_SOURCE_DIR}/scripts/name_capture.sh)
set_tests_properties(e2e_names PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 180 LABELS e2e RUN_SERIAL TRUE)
