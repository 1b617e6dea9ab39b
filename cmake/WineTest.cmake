# Test harness: every Windows test program runs under Wine, in a prefix
# private to the build tree that wine-run.sh creates on first use.
set(VANTU_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix)
configure_file(${CMAKE_SOURCE_DIR}/cmake/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run.sh
               @ONLY FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run.sh)

# Commands run once, in order, when the prefix is created (companions of the
# test platform register themselves here). Each entry is one shell line.
set_property(GLOBAL PROPERTY VANTU_PREFIX_SETUP "")
function(vantu_prefix_setup line)
  set_property(GLOBAL APPEND PROPERTY VANTU_PREFIX_SETUP "${line}")
endfunction()

# GoogleTest built for the target from Debian's source package.
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

include(GoogleTest)

# Test code and GoogleTest keep line tables only (enough for backtraces):
# full debug information of their templates costs about a third of their
# compile time. The library and the tools keep the build type's own.
set(VANTU_TEST_DEBUG_INFO $<$<CONFIG:Debug,RelWithDebInfo>:-g1>)
foreach(library gtest gmock)
  target_compile_options(${library} PRIVATE ${VANTU_TEST_DEBUG_INFO})
endforeach()

# The test entry point is compiled once for every test program, and with it
# one precompiled header of the GoogleTest and Windows headers that every test
# program reuses (those headers cost more to parse than most test files).
add_library(vantu_test_main OBJECT ${CMAKE_SOURCE_DIR}/tests/test_main.cpp)
target_link_libraries(vantu_test_main PUBLIC vantu_core gmock)
target_include_directories(vantu_test_main PUBLIC ${CMAKE_SOURCE_DIR}/tests)
target_compile_options(vantu_test_main PUBLIC ${VANTU_TEST_DEBUG_INFO})
if(VANTU_PRECOMPILED_HEADERS)
  target_precompile_headers(vantu_test_main PRIVATE
    <gmock/gmock.h> <gtest/gtest.h> <windows.h> <string> <vector> <memory> <mutex> <thread> <atomic> <functional>)
endif()

# vantu_add_test(NAME SOURCES... [LIBS ...] [SERIAL] [LABELS ...] [TIMEOUT seconds])
# SERIAL: the program touches the product's fixed registry key, log folder or
# machine-wide objects, so its tests never run beside another SERIAL test.
# LABELS: ctest labels (run.sh test leaves out the "soak" label).
function(vantu_add_test name)
  cmake_parse_arguments(ARG "SERIAL" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE vantu_test_main vantu_core gmock ${ARG_LIBS})
  if(VANTU_PRECOMPILED_HEADERS)
    target_precompile_headers(${name} REUSE_FROM vantu_test_main)
  endif()
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 120)
  endif()
  set(props TIMEOUT ${ARG_TIMEOUT})
  if(ARG_SERIAL)
    list(APPEND props RESOURCE_LOCK vantu_product_state)
  endif()
  if(ARG_LABELS)
    list(APPEND props LABELS ${ARG_LABELS})
  endif()
  # A DISABLED_ test runs only as the child of another test: not listed.
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120 TEST_FILTER "-*DISABLED_*"
                       PROPERTIES ${props})
endfunction()

# Writes the prefix set-up script at generation time, once every directory
# has registered its lines.
function(vantu_write_prefix_setup)
  get_property(lines GLOBAL PROPERTY VANTU_PREFIX_SETUP)
  string(JOIN "\n" body ${lines})
  file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/wine-prefix-setup.sh CONTENT
    "#!/bin/sh\n# Generated: prepares a freshly created test prefix.\nset -e\n${body}\n"
    FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ WORLD_READ)
endfunction()
