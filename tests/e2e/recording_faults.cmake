# The record under faults: a name server that never answers, a full disk.
add_test(NAME e2e_recording_faults
  COMMAND ${TARNIX_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/recording_faults_e2e.sh $<TARGET_FILE:tarnix-cli>
          ${PROJECT_SOURCE_DIR}/data/protocol.pdl)
set_tests_properties(e2e_recording_faults PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 240
  RESOURCE_LOCK tarnix_netns LABELS e2e)
