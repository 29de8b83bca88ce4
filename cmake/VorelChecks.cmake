# Build checks on the produced binaries, run as a test of every configuration.
if(VOREL_BUILD_TESTS)
  set(_check_args ${CMAKE_BINARY_DIR})
  if(NOT VOREL_SANITIZE STREQUAL "none")
    list(APPEND _check_args --sanitized)
  endif()
  add_test(NAME build_checks COMMAND ${CMAKE_SOURCE_DIR}/tools/check-binaries ${_check_args})
  set_tests_properties(build_checks PROPERTIES LABELS build)
  # The list a Windows build of a driver imports from never drifts from the stand-in's exports.
  add_test(NAME kernel_exports COMMAND ${CMAKE_SOURCE_DIR}/tools/check-exports ${CMAKE_BINARY_DIR})
  set_tests_properties(kernel_exports PROPERTIES LABELS build)
endif()
