# What a host team receives: version resources on every shipped binary, the
# install layout (binaries signed, their PDBs, notices, checksums, a CMake
# package) and its zip package (CPack). The one version is the project's
# (project(VERSION) in the top-level CMakeLists.txt).

# --- Version resources ----------------------------------------------------------
set(VANTU_COMPANY_NAME "Zelnor")
set(VANTU_PRODUCT_NAME "Pathwarden")
string(TIMESTAMP _year "%Y" UTC)  # honours SOURCE_DATE_EPOCH
set(VANTU_LEGAL_COPYRIGHT "Copyright (C) ${_year} Zelnor")
set(_tweak 0)
if(PROJECT_VERSION_TWEAK)
  set(_tweak ${PROJECT_VERSION_TWEAK})
endif()
set(VANTU_RC_VERSION_COMMAS
    "${PROJECT_VERSION_MAJOR},${PROJECT_VERSION_MINOR},${PROJECT_VERSION_PATCH},${_tweak}")
set(VANTU_RC_VERSION_DOTS "${PROJECT_VERSION}")

# A binary built with the development keys says so in its resource, so that
# one found in the field can be told apart.
set(VANTU_RC_FILEFLAGS 0)
set(VANTU_RC_SPECIAL_BUILD "")
if(VANTU_DEVELOPMENT_KEYS_IN_USE)
  set(VANTU_RC_FILEFLAGS VS_FF_SPECIALBUILD)
  set(VANTU_RC_SPECIAL_BUILD "      VALUE \"SpecialBuild\",     \"development keys, not for release\"")
endif()
if(CMAKE_BUILD_TYPE STREQUAL "Debug")
  string(APPEND VANTU_RC_FILEFLAGS "|VS_FF_DEBUG")
endif()

# vantu_version_resource(TARGET "File description")
function(vantu_version_resource target description)
  get_target_property(type ${target} TYPE)
  get_target_property(name ${target} OUTPUT_NAME)
  if(NOT name)
    set(name ${target})
  endif()
  if(type STREQUAL "SHARED_LIBRARY")
    set(VANTU_RC_FILETYPE VFT_DLL)
    set(VANTU_RC_FILENAME ${name}.dll)
  else()
    set(VANTU_RC_FILETYPE VFT_APP)
    set(VANTU_RC_FILENAME ${name}.exe)
  endif()
  set(VANTU_RC_INTERNAL_NAME ${name})
  set(VANTU_RC_DESCRIPTION "${description}")
  set(rc ${CMAKE_BINARY_DIR}/version/${target}.rc)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/VersionInfo.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
endfunction()

vantu_version_resource(VantuToast "Pathwarden toast notifications")
vantu_version_resource(vantu-sign "Pathwarden toast template signing tool")
vantu_version_resource(pathwarden-services "Pathwarden reference product services, for integration tests")
vantu_version_resource(vantu-demo "VantuToast demo host")
vantu_version_resource(pipe-bench "VantuToast pipe transport benchmark")
vantu_version_resource(minimal-host "VantuToast minimal host example")

# --- Shipped binaries ------------------------------------------------------------
set(VANTU_SHIPPED_TARGETS VantuToast vantu-sign pathwarden-services)
if(VANTU_CLANG_BUILD)
  foreach(target vantu-sign pathwarden-services)
    vantu_write_pdb(${target})
  endforeach()
endif()
if(VANTU_RELEASE_PACKAGE)
  # One commit, one set of bytes: no build folder in the objects (the source
  # folder first, so that the build folder inside it maps by itself), no
  # COFF symbol table (the PDBs hold the symbols).
  target_compile_options(vantu_options INTERFACE
    -ffile-prefix-map=${CMAKE_SOURCE_DIR}=/vantutoast -ffile-prefix-map=${CMAKE_BINARY_DIR}=/vantutoast-build)
  foreach(target ${VANTU_SHIPPED_TARGETS})
    target_link_options(${target} PRIVATE -s)
  endforeach()
endif()

# --- Install layout -------------------------------------------------------------
# Only what a host team takes: the DLL (loaded with LoadLibraryExW, so no
# import library), its interface, the signing tool, the reference services
# for the team's own integration tests, the PDB of each binary, the host part
# of this README, the minimal host and the CMake package that builds it.
# Never the keys/ folder.
install(TARGETS ${VANTU_SHIPPED_TARGETS} RUNTIME DESTINATION bin)
if(VANTU_CLANG_BUILD)
  foreach(target ${VANTU_SHIPPED_TARGETS})
    install(FILES $<TARGET_FILE_DIR:${target}>/$<TARGET_FILE_BASE_NAME:${target}>.pdb DESTINATION bin)
  endforeach()
endif()
install(FILES ${CMAKE_SOURCE_DIR}/src/VantuToast/IVantuToast.h DESTINATION include)
install(FILES ${CMAKE_SOURCE_DIR}/examples/minimal-host/main.cpp ${CMAKE_SOURCE_DIR}/examples/minimal-host/CMakeLists.txt
        DESTINATION examples/minimal-host)

include(CMakePackageConfigHelpers)
set(_cmake_package ${CMAKE_BINARY_DIR}/cmake-package)
configure_file(${CMAKE_SOURCE_DIR}/cmake/VantuToastConfig.cmake.in ${_cmake_package}/VantuToastConfig.cmake @ONLY)
write_basic_package_version_file(${_cmake_package}/VantuToastConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${_cmake_package}/VantuToastConfig.cmake ${_cmake_package}/VantuToastConfigVersion.cmake
        DESTINATION lib/cmake/VantuToast)

list(JOIN VANTU_DEVELOPMENT_KEYS_IN_USE ", " _development_keys)
string(SUBSTRING "${VANTU_TEMPLATE_PUBLIC_KEY}" 0 16 VANTU_TEMPLATE_KEY_PREFIX)
string(TOLOWER "${VANTU_TEMPLATE_KEY_PREFIX}" VANTU_TEMPLATE_KEY_PREFIX)

# The package README: a header with the version and the embedded template key,
# then the README sections a host team needs, with paths as the package lays
# them out.
function(vantu_readme_section out title)
  file(READ ${CMAKE_SOURCE_DIR}/README.md text)
  string(FIND "${text}" "\n## ${title}\n" start)
  if(start EQUAL -1)
    message(FATAL_ERROR "README.md has no section \"## ${title}\"")
  endif()
  math(EXPR start "${start} + 1")
  string(SUBSTRING "${text}" ${start} -1 text)
  string(FIND "${text}" "\n## " end)
  string(SUBSTRING "${text}" 0 ${end} text)
  # Running under Wine is this tree's business, not the package's.
  string(REGEX REPLACE " \\([^()]*`build/wine-run.sh`[^()]*\\)" "" text "${text}")
  string(REPLACE "build/wine-run.sh " "" text "${text}")
  string(REPLACE "build/bin/" "bin/" text "${text}")
  string(REPLACE "src/VantuToast/IVantuToast.h" "include/IVantuToast.h" text "${text}")
  set(${out} "${text}\n" PARENT_SCOPE)
endfunction()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/README.md)

set(_readme "# VantuToast ${PROJECT_VERSION}\n\n")
if(VANTU_DEVELOPMENT_KEYS_IN_USE)
  string(APPEND _readme "**This package embeds development keys and must not ship.** "
                        "Still at their development value: ${_development_keys}.\n\n")
endif()
string(APPEND _readme
  "`bin/VantuToast.dll` (Windows x86-64) verifies toast templates with the P-256 public key "
  "that starts with `${VANTU_TEMPLATE_KEY_PREFIX}`. `bin/vantu-sign.exe` signs templates, "
  "`bin/pathwarden-services.exe` plays the product services for integration tests, "
  "`include/IVantuToast.h` declares the interface and `examples/minimal-host/main.cpp` is a "
  "complete host, which `examples/minimal-host/CMakeLists.txt` builds against this package "
  "(`find_package(VantuToast CONFIG REQUIRED)` with `VantuToast_DIR` naming `lib/cmake/VantuToast` "
  "of this folder, or `CMAKE_PREFIX_PATH` naming this folder where the toolchain allows it: "
  "`VantuToast::Header` for the interface, `VantuToast_DLL` for the DLL to copy beside the "
  "program). Every binary carries a version resource with version ${PROJECT_VERSION}, an "
  "Authenticode signature and its PDB in `bin/`; `THIRD-PARTY-NOTICES.txt` names the "
  "components compiled or linked into them.\n\n")
foreach(section "For host programs" "Signed toast templates" "Reference product services" "Checking a package")
  vantu_readme_section(_text "${section}")
  string(APPEND _readme "${_text}")
endforeach()
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/package/README.md CONTENT "${_readme}")
install(FILES ${CMAKE_BINARY_DIR}/package/README.md DESTINATION .)

# --- Package ----------------------------------------------------------------------
set(VANTU_PACKAGE_NAME "VantuToast-${PROJECT_VERSION}-win64")
if(VANTU_DEVELOPMENT_KEYS_IN_USE)
  string(APPEND VANTU_PACKAGE_NAME "-devkeys")
endif()

# Last, over the installed tree: the key guard again (whatever the build
# type: installing is packaging), Authenticode signatures, the third-party
# notices and SHA256SUMS (cmake/PackageFinish.cmake).
set(VANTU_DEVELOPMENT_SIGNING_DIR "" CACHE PATH
    "Where the development code-signing certificate is kept (default: the user's cache folder, outside the tree)")
install(CODE "
  set(VANTU_DEVELOPMENT_KEYS_IN_USE \"${VANTU_DEVELOPMENT_KEYS_IN_USE}\")
  set(VANTU_ALLOW_DEVELOPMENT_KEYS \"${VANTU_ALLOW_DEVELOPMENT_KEYS}\")
  set(VANTU_SIGNING_PKCS12 \"${VANTU_SIGNING_PKCS12}\")
  set(VANTU_DEVELOPMENT_SIGNING_DIR \"${VANTU_DEVELOPMENT_SIGNING_DIR}\")
  set(VANTU_PACKAGE_NAME \"${VANTU_PACKAGE_NAME}\")
  set(VANTU_SIGNING_SUMMARY \"${CMAKE_BINARY_DIR}/signing.txt\")
  include(\"${CMAKE_SOURCE_DIR}/cmake/PackageFinish.cmake\")")
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME VantuToast)
set(CPACK_PACKAGE_VENDOR "${VANTU_COMPANY_NAME}")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_FILE_NAME "${VANTU_PACKAGE_NAME}")
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)  # the zip holds bin/, include/... as installed
# Never stripped by CPack: the binaries are signed as linked, and are what
# the reproducible-build check compares.
set(CPACK_STRIP_FILES OFF)
# Read by cpack when it runs: says what the package embeds.
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/CPackProjectConfig.cmake)
set(_notice "message(STATUS \"${VANTU_PACKAGE_NAME}: template public key ${VANTU_TEMPLATE_KEY_PREFIX}... \")\n")
if(VANTU_DEVELOPMENT_KEYS_IN_USE)
  string(APPEND _notice "message(WARNING \"${VANTU_PACKAGE_NAME} EMBEDS DEVELOPMENT KEYS "
                        "(${_development_keys}): not for release.\")\n")
endif()
file(WRITE ${CPACK_PROJECT_CONFIG_FILE} "${_notice}")
include(CPack)
