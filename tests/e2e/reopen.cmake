# A live adapter set down and up again while the headless program captures.
add_test(NAME e2e_reopen
  COMMAND ${TARNIX_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/reopen_e2e.sh $<TARGET_FILE:tarnix-cli>
          ${PROJECT_SOURCE_DIR}/data/protocol.pdl)
set_tests_properties(e2e_reopen PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120
  RESOURCE_LOCK tarnix_netns LABELS e2e)
