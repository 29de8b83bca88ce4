# GoogleTest from the distribution's sources, built with the project's flags.
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# vorel_add_test_area(NAME <name> SOURCES <files...> [LIBS <libs...>] [CONCURRENCY])
# One executable per area; CTest runs each test case in its own process. Areas
# marked CONCURRENCY are the ones the ThreadSanitizer configuration builds.
function(vorel_add_test_area)
  cmake_parse_arguments(A "CONCURRENCY" "NAME" "SOURCES;LIBS" ${ARGN})
  if(VOREL_CONCURRENCY_ONLY AND NOT A_CONCURRENCY)
    return()
  endif()
  add_executable(test_${A_NAME} ${A_SOURCES})
  target_link_libraries(test_${A_NAME} PRIVATE vorel_test_support ${A_LIBS} GTest::gtest GTest::gmock)
  # One label per area: gtest_discover_tests flattens its properties, so a second label
  # would be read as a property name. Concurrency areas carry both words in theirs
  # ("ke-concurrency"), which -L concurrency and -L ke both select.
  set(labels ${A_NAME})
  if(A_CONCURRENCY)
    set(labels ${A_NAME}-concurrency)
  endif()
  gtest_discover_tests(test_${A_NAME} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                       PROPERTIES LABELS "${labels}" TIMEOUT 300)
endfunction()
