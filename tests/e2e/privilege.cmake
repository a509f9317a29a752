# Capture rights and the change of user, with file capabilities and --user.
add_test(NAME e2e_privilege
  COMMAND ${TARNIX_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/privilege_e2e.sh $<TARGET_FILE:tarnix-cli>
          ${PROJECT_SOURCE_DIR}/data/protocol.pdl)
set_tests_properties(e2e_privilege PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120
  RESOURCE_LOCK tarnix_netns LABELS e2e)
