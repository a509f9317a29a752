# What is recorded from a crafted capture, replayed live and read as a file.
add_test(NAME e2e_records
  COMMAND ${TARNIX_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/records_e2e.sh $<TARGET_FILE:tarnix-cli>)
set_tests_properties(e2e_records PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 180
  RESOURCE_LOCK tarnix_netns LABELS e2e)
