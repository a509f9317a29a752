# Fails when any engine source includes a Qt header: the engine must build
# and run without Qt.
file(GLOB_RECURSE files "${ENGINE_DIR}/*.h" "${ENGINE_DIR}/*.hpp" "${ENGINE_DIR}/*.cpp"
     "${ENGINE_DIR}/*.cc" "${ENGINE_DIR}/*.y" "${ENGINE_DIR}/*.l")
set(bad "")
foreach(f IN LISTS files)
  file(STRINGS "${f}" hits REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"](Q[A-Za-z]|qt)")
  if(hits)
    list(APPEND bad "${f}: ${hits}")
  endif()
endforeach()
if(bad)
  string(REPLACE ";" "\n" bad "${bad}")
  message(FATAL_ERROR "Qt include under src/engine:\n${bad}")
endif()
message(STATUS "engine is free of Qt includes (${ENGINE_DIR})")
