# GoogleTest from Debian's sources, so that the same code builds for Linux,
# for the sanitizer builds and for the mingw-w64 cross build.
set(KSIDU_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${KSIDU_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL SYSTEM)
include(GoogleTest)

# Default watchdog for every test: a deadlock fails the test instead of
# stalling the run.
set(KSIDU_TEST_TIMEOUT 120 CACHE STRING "Per-test time limit in seconds")

# ksidu_add_gtest(<name> SOURCES ... [LIBS ...] [LABELS ...] [ENVIRONMENT <one NAME=value>])
# On the build machine each test case becomes its own CTest test (found when
# the tests run, never at build time); in a cross build the whole executable
# is one CTest test, run through the cross-compiling emulator (Wine). Test
# discovery splits list values, so ENVIRONMENT takes a single entry; a test
# that needs more sets the rest itself at start-up.
function(ksidu_add_gtest name)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
  if(CMAKE_CROSSCOMPILING)
    add_test(NAME ${name} COMMAND ${name})
    set_tests_properties(${name} PROPERTIES TIMEOUT ${KSIDU_TEST_TIMEOUT})
    if(T_LABELS)
      set_tests_properties(${name} PROPERTIES LABELS "${T_LABELS}")
    endif()
    if(T_ENVIRONMENT)
      set_tests_properties(${name} PROPERTIES ENVIRONMENT "${T_ENVIRONMENT}")
    endif()
  else()
    set(_props TIMEOUT ${KSIDU_TEST_TIMEOUT})
    if(T_LABELS)
      list(APPEND _props LABELS "${T_LABELS}")
    endif()
    if(T_ENVIRONMENT)
      list(APPEND _props ENVIRONMENT "${T_ENVIRONMENT}")
    endif()
    gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 60
                         PROPERTIES ${_props})
  endif()
endfunction()
