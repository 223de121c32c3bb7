# Small wrappers so every deliverable is declared the same way.

# dover_program(<name> SOURCES ... [LIBS ...])
# A command-line program installed into bin/. Programs export their symbols to the
# dynamic linker so that a plug-in loaded at run time binds to the process's own
# copy of the wrapper and credential-store entry points.
function(dover_program name)
  cmake_parse_arguments(P "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${P_SOURCES})
  target_link_libraries(${name} PRIVATE ${P_LIBS})
  set_target_properties(${name} PROPERTIES ENABLE_EXPORTS ON
    INSTALL_RPATH "$ORIGIN/../lib")
  install(TARGETS ${name} RUNTIME DESTINATION ${DOVER_INSTALL_BINDIR})
endfunction()
