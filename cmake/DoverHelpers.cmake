# Small wrappers so every deliverable is declared the same way.

# dover_program(<name> SOURCES ... [LIBS ...] [DESTINATION dir])
# A command-line program installed into bin/ (or DESTINATION, relative to the
# prefix). Programs export their symbols to the dynamic linker so that a plug-in
# loaded at run time binds to the process's own copy of the wrapper and
# credential-store entry points. Programs in bin/ find libclilog through their run
# path ($ORIGIN/../lib), so neither LD_LIBRARY_PATH nor ld.so.conf is needed.
function(dover_program name)
  cmake_parse_arguments(P "" "DESTINATION" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${P_SOURCES})
  target_link_libraries(${name} PRIVATE ${P_LIBS})
  # Freed memory is zeroed: libraries free copies of secrets unwiped.
  if(TARGET dover_wipe_freed)
    target_sources(${name} PRIVATE $<TARGET_OBJECTS:dover_wipe_freed>)
  endif()
  set_target_properties(${name} PROPERTIES ENABLE_EXPORTS ON)
  if(P_DESTINATION)
    install(TARGETS ${name} RUNTIME DESTINATION ${P_DESTINATION})
  else()
    set_target_properties(${name} PROPERTIES INSTALL_RPATH "$ORIGIN/../lib")
    install(TARGETS ${name} RUNTIME DESTINATION ${DOVER_INSTALL_BINDIR})
  endif()
endfunction()
