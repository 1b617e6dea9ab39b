# cmake -DCHECK=key-guard|package-layout -DSOURCE_DIR=... -DBINARY_DIR=... -DWORK_DIR=... -P PackageTests.cmake
cmake_minimum_required(VERSION 3.25)
set(failures "")
# Functions, not macros: their arguments are values, never parsed again.
function(expect_equal actual expected what)
  if(NOT "${actual}" STREQUAL "${expected}")
    set(failures "${failures}\n  ${what}: expected \"${expected}\", got \"${actual}\"" PARENT_SCOPE)
  endif()
endfunction()
function(expect_contains text part what)
  string(FIND "${text}" "${part}" at)
  if(at EQUAL -1)
    set(failures "${failures}\n  ${what}: \"${part}\" not found in:\n${text}" PARENT_SCOPE)
  endif()
endfunction()

set(product_VANTU_TEMPLATE_PUBLIC_KEY "0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef")
set(product_VANTU_SEALING_KEY "{00000000-1111-2222-3333-444444444444}")
set(product_VANTU_HANDSHAKE_KEY_SEED "aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa")
set(product_VANTU_HANDSHAKE_MASTER_KEY "bbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbbb")

if(CHECK STREQUAL "key-guard")
  include(${SOURCE_DIR}/cmake/KeyGuard.cmake)
  set(all "VANTU_TEMPLATE_PUBLIC_KEY,VANTU_SEALING_KEY,VANTU_HANDSHAKE_KEY_SEED,VANTU_HANDSHAKE_MASTER_KEY")
  string(TOUPPER "${VANTU_TEMPLATE_PUBLIC_KEY_DEVELOPMENT}" upper_key)
  string(TOLOWER "${VANTU_SEALING_KEY_DEVELOPMENT}" lower_guid)
  # build type | allowed | settings given product values ("-": none, or
  # SETTING=VALUE to give one another spelling) | development keys left | outcome
  set(cases
    "Release|OFF|-|${all}|error"
    "release|OFF|-|${all}|error"
    "MinSizeRel|OFF|-|${all}|error"
    "Release|ON|-|${all}|warning"
    "RelWithDebInfo|OFF|-|${all}|ok"
    "Debug|OFF|-|${all}|ok"
    "Release|OFF|${all}||ok"
    "Release|OFF|VANTU_SEALING_KEY,VANTU_HANDSHAKE_KEY_SEED,VANTU_HANDSHAKE_MASTER_KEY|VANTU_TEMPLATE_PUBLIC_KEY|error"
    "Release|OFF|VANTU_TEMPLATE_PUBLIC_KEY,VANTU_HANDSHAKE_KEY_SEED,VANTU_HANDSHAKE_MASTER_KEY,VANTU_SEALING_KEY=${lower_guid}|VANTU_SEALING_KEY|error"
    "Release|OFF|VANTU_SEALING_KEY,VANTU_HANDSHAKE_KEY_SEED,VANTU_HANDSHAKE_MASTER_KEY,VANTU_TEMPLATE_PUBLIC_KEY=${upper_key}|VANTU_TEMPLATE_PUBLIC_KEY|error"
    "Release|ON|${all}||ok")
  foreach(case IN LISTS cases)
    string(REPLACE "|" ";" fields "${case}")
    list(GET fields 0 CMAKE_BUILD_TYPE)
    list(GET fields 1 VANTU_ALLOW_DEVELOPMENT_KEYS)
    list(GET fields 2 given)
    list(GET fields 3 expected_in_use)
    list(GET fields 4 expected_outcome)
    string(REPLACE "," ";" expected_in_use "${expected_in_use}")
    string(REPLACE "," ";" given "${given}")
    foreach(setting ${VANTU_RELEASE_KEY_SETTINGS})
      set(${setting} "${${setting}_DEVELOPMENT}")
    endforeach()
    foreach(entry ${given})
      if(entry MATCHES "^([A-Z_]+)=(.*)$")
        set(${CMAKE_MATCH_1} "${CMAKE_MATCH_2}")
      elseif(NOT entry STREQUAL "-")
        set(${entry} "${product_${entry}}")
      endif()
    endforeach()
    vantu_check_release_keys(in_use error warning)
    set(outcome ok)
    if(error)
      set(outcome error)
    elseif(warning)
      set(outcome warning)
    endif()
    expect_equal("${in_use}" "${expected_in_use}" "${case}: development keys in use")
    expect_equal("${outcome}" "${expected_outcome}" "${case}: outcome")
    if(NOT outcome STREQUAL "ok")
      foreach(setting ${expected_in_use})  # the message names what to set
        expect_contains("${error}${warning}" "${setting}" "${case}: message")
      endforeach()
    endif()
  endforeach()

  # The real configuration of a release stops before compiling anything.
  file(REMOVE_RECURSE ${WORK_DIR})
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}
                          -DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/cmake/toolchain-mingw64.cmake
                          -DCMAKE_BUILD_TYPE=Release -DVANTU_SEALING_KEY=${product_VANTU_SEALING_KEY}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(result EQUAL 0)
    string(APPEND failures "\n  a Release configuration with development keys succeeded")
  endif()
  string(REGEX REPLACE "[ \n]+" " " output "${output}")  # as CMake wrapped it
  expect_contains("${output}" "Still at their development value: VANTU_TEMPLATE_PUBLIC_KEY, VANTU_HANDSHAKE_KEY_SEED, VANTU_HANDSHAKE_MASTER_KEY."
                  "Release configuration")
  expect_contains("${output}" "VANTU_ALLOW_DEVELOPMENT_KEYS" "Release configuration")
  file(REMOVE_RECURSE ${WORK_DIR})

elseif(CHECK STREQUAL "package-layout")
  # cmake --install and the zip package lay out the same files, and nothing else.
  file(REMOVE_RECURSE ${WORK_DIR})
  execute_process(COMMAND ${CMAKE_COMMAND} --install ${BINARY_DIR} --prefix ${WORK_DIR}/install
                  RESULT_VARIABLE result OUTPUT_QUIET)
  expect_equal("${result}" "0" "cmake --install")
  file(GLOB_RECURSE installed RELATIVE ${WORK_DIR}/install ${WORK_DIR}/install/*)
  list(SORT installed)
  expect_equal("${installed}"
    "README.md;bin/VantuToast.dll;bin/pathwarden-services.exe;bin/vantu-sign.exe;examples/minimal-host/main.cpp;include/IVantuToast.h"
    "installed files")

  include(${BINARY_DIR}/CPackConfig.cmake)
  execute_process(COMMAND cpack --config ${BINARY_DIR}/CPackConfig.cmake -B ${WORK_DIR}/package
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  expect_equal("${result}" "0" "cpack")
  # This build uses the development keys: the name and the output say so.
  expect_equal("${CPACK_PACKAGE_FILE_NAME}" "VantuToast-${CPACK_PACKAGE_VERSION}-win64-devkeys" "package name")
  expect_contains("${output}" "EMBEDS DEVELOPMENT KEYS" "cpack output")
  file(READ ${SOURCE_DIR}/keys/dev-template-signing.pub.hex key)
  string(SUBSTRING "${key}" 0 16 key_prefix)
  expect_contains("${output}" "template public key ${key_prefix}..." "cpack output")
  execute_process(COMMAND ${CMAKE_COMMAND} -E tar tf ${WORK_DIR}/package/${CPACK_PACKAGE_FILE_NAME}.zip
                  RESULT_VARIABLE result OUTPUT_VARIABLE listing)
  string(REGEX REPLACE "[^\n]*/\n" "" listing "${listing}")  # folders
  string(STRIP "${listing}" listing)
  string(REPLACE "\n" ";" listing "${listing}")
  list(SORT listing)
  expect_equal("${listing}" "${installed}" "zip contents")

  file(READ ${WORK_DIR}/install/README.md readme)
  foreach(part "# VantuToast ${CPACK_PACKAGE_VERSION}" "must not ship" "starts with `${key_prefix}`"
               "## For host programs" "examples/minimal-host/main.cpp" "## Signed toast templates"
               "bin/vantu-sign.exe sign" "## Reference product services")
    expect_contains("${readme}" "${part}" "package README")
  endforeach()
  file(REMOVE_RECURSE ${WORK_DIR})
else()
  message(FATAL_ERROR "unknown CHECK ${CHECK}")
endif()

if(failures)
  message(FATAL_ERROR "${CHECK}:${failures}")
endif()
message(STATUS "${CHECK}: all checks passed")
