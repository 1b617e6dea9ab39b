# The clang build (./run.sh check): warnings GCC does not give, the lock
# analysis, CodeView debug information and a compile database for clang-tidy.
set(CMAKE_EXPORT_COMPILE_COMMANDS ON)
set(CMAKE_CXX_USE_RESPONSE_FILE_FOR_INCLUDES OFF)
set(CMAKE_C_USE_RESPONSE_FILE_FOR_INCLUDES OFF)

set(_clang_warnings
  -Wshadow                    # a local or parameter hiding another name
  -Wshadow-field              # a member hiding a base class's member
  -Wunreachable-code-aggressive
  -Wthread-safety             # lock discipline (base/Lock.h)
  -Wthread-safety-beta
  -Wimplicit-fallthrough
  -Wloop-analysis
  -Wcomma
  -Wformat=2
  -Wextra-semi-stmt
  -Wnewline-eof
  -Wundef
  -Wunused-exception-parameter)
# C and C++ only: the resource compiler shares the targets.
target_compile_options(vantu_options INTERFACE "$<$<COMPILE_LANGUAGE:C,CXX>:${_clang_warnings}>")

# lld writes the PDB a Windows debugger reads next to TARGET's binary; the
# binary's debug directory names it by file name only. CodeView is compiled
# into TARGET and the static libraries named after it only, whatever the
# build type: with emulated TLS, clang 19's CodeView record of a thread_local
# variable names the variable's plain symbol, which does not exist, and the
# link fails. The stand-ins and the tests, which use thread_local, keep DWARF.
#
# lld's /Brepro makes the image's time stamp a hash of the image, and the PDB
# GUID is a hash of the PDB: for one source to give one binary in any folder,
# the PDB holds no folder of this machine either. Hence no compiler command
# lines, object names relative to the compilation folder, the PDB named
# relative to the folder the link runs in, and that folder given to the PDB
# as a fixed name (/pdbsourcepath). The link command itself is recorded, so
# it names nothing by absolute path (the export list included, see the
# top-level CMakeLists.txt).
function(vantu_write_pdb target)
  foreach(objects ${target} ${ARGN})
    target_compile_options(${objects} PRIVATE
      $<$<COMPILE_LANGUAGE:C,CXX>:-g -gcodeview -gno-codeview-command-line -fdebug-compilation-dir=.>)
  endforeach()
  get_target_property(link_dir ${target} BINARY_DIR)
  file(RELATIVE_PATH output_dir ${link_dir} ${CMAKE_RUNTIME_OUTPUT_DIRECTORY})
  file(RELATIVE_PATH link_subdir ${CMAKE_BINARY_DIR} ${link_dir})
  target_link_options(${target} PRIVATE
    "-Wl,--pdb=${output_dir}/$<TARGET_FILE_BASE_NAME:${target}>.pdb" "-Wl,--Xlink=-pdbsourcepath:/vantutoast-build/${link_subdir}"
    "-Wl,--Xlink=-pdbaltpath:%_PDB%" "-Wl,--Xlink=-Brepro")
endfunction()

# Debian's RapidJSON 1.1.0 has an assignment operator that assigns a const
# member; clang 19 rejects it even uninstantiated (RapidJSON itself later
# removed it). The clang build reads a copy, ahead of the system one, with
# that one operator deleted. Rewritten only when it changes.
set(_rj ${CMAKE_BINARY_DIR}/third_party/clang-include/rapidjson)
file(COPY /usr/include/rapidjson/ DESTINATION ${_rj} PATTERN document.h EXCLUDE)
file(READ /usr/include/rapidjson/document.h _text)
string(REPLACE
  "GenericStringRef& operator=(const GenericStringRef& rhs) { s = rhs.s; length = rhs.length; }"
  "GenericStringRef& operator=(const GenericStringRef& rhs) = delete;"
  _patched "${_text}")
if(_patched STREQUAL _text)
  message(FATAL_ERROR "RapidJSON's GenericStringRef::operator= not found")
endif()
file(WRITE ${CMAKE_BINARY_DIR}/third_party/document.h.patched "${_patched}")
configure_file(${CMAKE_BINARY_DIR}/third_party/document.h.patched ${_rj}/document.h COPYONLY)
target_include_directories(vantu_options SYSTEM BEFORE INTERFACE ${CMAKE_BINARY_DIR}/third_party/clang-include)
