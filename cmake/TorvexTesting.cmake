# GoogleTest for both builds. Natively the Debian package's libraries are
# used; for Windows the Debian googletest sources are cross-compiled, and
# the test programs run under Wine (tools/wine-run.sh).
if(WIN32)
  set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest/googletest ${CMAKE_BINARY_DIR}/_googletest EXCLUDE_FROM_ALL)
  target_link_options(gtest PUBLIC -static -static-libgcc -static-libstdc++)
  # googletest 1.12 and later define these aliases themselves.
  if(NOT TARGET GTest::gtest)
    add_library(GTest::gtest ALIAS gtest)
    add_library(GTest::gtest_main ALIAS gtest_main)
  endif()
else()
  find_package(GTest REQUIRED)
endif()
include(GoogleTest)

# torvex_add_gtest(<target> SOURCES ... LIBS ... [LABELS ...])
# Builds a GoogleTest program and registers each of its cases with ctest.
# Windows programs are listed and run through Wine at test time (and not
# registered at all when TORVEX_WINE_TESTS is off). Use this rather than
# gtest_discover_tests directly.
function(torvex_add_gtest target)
  cmake_parse_arguments(T "" "" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${target} ${T_SOURCES})
  target_link_libraries(${target} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main torvex_warnings)
  if(NOT WIN32 OR TORVEX_WINE_TESTS)
    gtest_discover_tests(${target}
      DISCOVERY_MODE PRE_TEST
      DISCOVERY_TIMEOUT 120
      PROPERTIES LABELS "${T_LABELS}" TIMEOUT 300)
  endif()
endfunction()
