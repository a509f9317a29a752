# Hostile capture files read by the headless program: escape sequences in
# requests, header tricks, times at 0 and after 2038, a damaged record.
add_test(NAME e2e_hostile
  COMMAND ${TARNIX_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/hostile_e2e.sh $<TARGET_FILE:tarnix-cli>
          ${PROJECT_SOURCE_DIR}/data/protocol.pdl)
set_tests_properties(e2e_hostile PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120 LABELS e2e)
