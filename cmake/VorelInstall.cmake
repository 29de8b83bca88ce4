# What `cmake --install` puts on a machine: the programs in bin/, the libraries in
# lib/vorel/ (found through each binary's run path), the driver in the system
# directory's drivers/ (lib/vorel/drivers/vorel.sys, where the host finds it when
# VOREL_SYSTEM_DIR keeps its default), and the library's header.
set(VOREL_INSTALL_LIBDIR lib/vorel CACHE STRING "Where the libraries go, below the prefix")
set(VOREL_INSTALL_SYSTEM_DIR lib/vorel CACHE STRING "The system directory (VOREL_SYSTEM_DIR), below the prefix")

set(_vorel_programs vorelhost vorelctl)
set(_vorel_libraries vcrt ntoskrnl vorel_transport kernel32 ole32 shell32 advapi32 vorellib)
foreach(target ${_vorel_programs})
  if(TARGET ${target})
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN/../${VOREL_INSTALL_LIBDIR}")
    install(TARGETS ${target} RUNTIME DESTINATION bin)
  endif()
endforeach()
foreach(target ${_vorel_libraries})
  if(TARGET ${target})
    set_target_properties(${target} PROPERTIES INSTALL_RPATH "$ORIGIN")
    install(TARGETS ${target} LIBRARY DESTINATION ${VOREL_INSTALL_LIBDIR})
  endif()
endforeach()
if(TARGET vorel)
  set_target_properties(vorel PROPERTIES INSTALL_RPATH "$ORIGIN/../${VOREL_INSTALL_LIBDIR}")
  install(TARGETS vorel LIBRARY DESTINATION ${VOREL_INSTALL_SYSTEM_DIR}/drivers)
endif()
install(FILES ${CMAKE_SOURCE_DIR}/lib/vorellib.h DESTINATION include)

# The systemd unit, with the install prefix filled in when it is installed (the prefix
# can be chosen at install time), in lib/systemd/system/.
install(CODE "set(VOREL_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
  configure_file(\"${CMAKE_SOURCE_DIR}/packaging/vorel.service.in\" \"${CMAKE_BINARY_DIR}/vorel.service\" @ONLY)")
install(FILES ${CMAKE_BINARY_DIR}/vorel.service DESTINATION lib/systemd/system)
