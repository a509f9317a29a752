# The log and events files renamed under a recording run, then SIGHUP.
add_test(NAME e2e_log_rotation
  COMMAND ${TARNIX_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/log_rotation_e2e.sh $<TARGET_FILE:tarnix-cli>
          ${PROJECT_SOURCE_DIR}/data/protocol.pdl)
set_tests_properties(e2e_log_rotation PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120 LABELS e2e)
