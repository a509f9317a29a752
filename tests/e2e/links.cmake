# Tagged and cooked captures of the same traffic against tshark: made live in
# network namespaces, and from the committed files without root.
foreach(mode netns files)
  add_test(NAME e2e_links_${mode}
    COMMAND ${TARNIX_BASH} ${CMAKE_CURRENT_SOURCE_DIR}/links_e2e.sh $<TARGET_FILE:tarnix-cli>
            ${PROJECT_SOURCE_DIR}/data/protocol.pdl ${mode})
  set_tests_properties(e2e_links_${mode} PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120
    RESOURCE_LOCK tarnix_netns LABELS e2e)
endforeach()
