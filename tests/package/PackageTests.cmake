# cmake -DCHECK=key-guard|layout|signatures|notices -DSOURCE_DIR=... -DBINARY_DIR=... -DWORK_DIR=...
#       [-DPACKAGE_DIR=...] -P PackageTests.cmake
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
set(product_VANTU_SIGNING_PKCS12 "/secure/product-codesign.p12")

include(${SOURCE_DIR}/cmake/RunChecked.cmake)

# Unpacks the one package zip in PACKAGE_DIR into WORK_DIR/package; ZIP
# receives its path.
function(unpack_package zip_out)
  file(GLOB zips ${PACKAGE_DIR}/VantuToast-*.zip)
  list(LENGTH zips count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "expected one package zip in ${PACKAGE_DIR}, found: ${zips}")
  endif()
  file(REMOVE_RECURSE ${WORK_DIR})
  file(MAKE_DIRECTORY ${WORK_DIR}/package)
  vantu_run_checked("unzip" unzip -q ${zips} -d ${WORK_DIR}/package)
  set(${zip_out} ${zips} PARENT_SCOPE)
endfunction()

if(CHECK STREQUAL "key-guard")
  include(${SOURCE_DIR}/cmake/KeyGuard.cmake)
  set(all "VANTU_TEMPLATE_PUBLIC_KEY,VANTU_SEALING_KEY,VANTU_HANDSHAKE_KEY_SEED,VANTU_HANDSHAKE_MASTER_KEY,VANTU_SIGNING_PKCS12")
  set(keys "VANTU_TEMPLATE_PUBLIC_KEY,VANTU_SEALING_KEY,VANTU_HANDSHAKE_KEY_SEED,VANTU_HANDSHAKE_MASTER_KEY")
  string(TOUPPER "${VANTU_TEMPLATE_PUBLIC_KEY_DEVELOPMENT}" upper_key)
  string(TOLOWER "${VANTU_SEALING_KEY_DEVELOPMENT}" lower_guid)
  # build type | package build | allowed | settings given product values
  # ("-": none, or SETTING=VALUE to give one another spelling) | development
  # keys left | outcome
  set(cases
    "Release|OFF|OFF|-|${all}|error"
    "release|OFF|OFF|-|${all}|error"
    "MinSizeRel|OFF|OFF|-|${all}|error"
    "Release|OFF|ON|-|${all}|warning"
    "RelWithDebInfo|OFF|OFF|-|${all}|ok"
    "Debug|OFF|OFF|-|${all}|ok"
    "|OFF|OFF|-|${all}|ok"
    "RelWithDebInfo|ON|OFF|-|${all}|error"
    "|ON|OFF|-|${all}|error"
    "Debug|ON|ON|-|${all}|warning"
    "RelWithDebInfo|ON|OFF|${all}||ok"
    "Release|OFF|OFF|${all}||ok"
    "Release|OFF|OFF|${keys}|VANTU_SIGNING_PKCS12|error"
    "Release|OFF|OFF|VANTU_SEALING_KEY,VANTU_HANDSHAKE_KEY_SEED,VANTU_HANDSHAKE_MASTER_KEY,VANTU_SIGNING_PKCS12|VANTU_TEMPLATE_PUBLIC_KEY|error"
    "Release|OFF|OFF|VANTU_TEMPLATE_PUBLIC_KEY,VANTU_HANDSHAKE_KEY_SEED,VANTU_HANDSHAKE_MASTER_KEY,VANTU_SIGNING_PKCS12,VANTU_SEALING_KEY=${lower_guid}|VANTU_SEALING_KEY|error"
    "Release|OFF|OFF|VANTU_SEALING_KEY,VANTU_HANDSHAKE_KEY_SEED,VANTU_HANDSHAKE_MASTER_KEY,VANTU_SIGNING_PKCS12,VANTU_TEMPLATE_PUBLIC_KEY=${upper_key}|VANTU_TEMPLATE_PUBLIC_KEY|error"
    "Release|OFF|ON|${all}||ok")
  foreach(case IN LISTS cases)
    string(REPLACE "|" ";" fields "${case}")
    list(GET fields 0 CMAKE_BUILD_TYPE)
    list(GET fields 1 VANTU_RELEASE_PACKAGE)
    list(GET fields 2 VANTU_ALLOW_DEVELOPMENT_KEYS)
    list(GET fields 3 given)
    list(GET fields 4 expected_in_use)
    list(GET fields 5 expected_outcome)
    string(REPLACE "," ";" expected_in_use "${expected_in_use}")
    string(REPLACE "," ";" given "${given}")
    foreach(setting ${VANTU_RELEASE_KEY_SETTINGS})
      set(${setting} "${${setting}_DEVELOPMENT}")
    endforeach()
    foreach(entry ${given})
      if(entry MATCHES "^([A-Z0-9_]+)=(.*)$")
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

  # Real configurations stop before compiling anything: a Release build, and
  # a package build with no build type.
  foreach(configuration "-DCMAKE_BUILD_TYPE=Release" "-DVANTU_RELEASE_PACKAGE=ON")
    file(REMOVE_RECURSE ${WORK_DIR})
    execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}
                            -DCMAKE_TOOLCHAIN_FILE=${SOURCE_DIR}/cmake/toolchain-mingw64.cmake
                            ${configuration} -DVANTU_SEALING_KEY=${product_VANTU_SEALING_KEY}
                    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    if(result EQUAL 0)
      string(APPEND failures "\n  ${configuration} with development keys configured")
    endif()
    string(REGEX REPLACE "[ \n]+" " " output "${output}")  # as CMake wrapped it
    expect_contains("${output}" "Still at their development value: VANTU_TEMPLATE_PUBLIC_KEY, VANTU_HANDSHAKE_KEY_SEED, VANTU_HANDSHAKE_MASTER_KEY, VANTU_SIGNING_PKCS12."
                    "${configuration}")
    expect_contains("${output}" "VANTU_ALLOW_DEVELOPMENT_KEYS" "${configuration}")
  endforeach()

  # cpack refuses this build tree's development keys whatever its build type
  # (the tree must be a development one that does not allow them).
  file(STRINGS ${BINARY_DIR}/CMakeCache.txt allowed REGEX "^VANTU_ALLOW_DEVELOPMENT_KEYS:BOOL=ON$")
  file(STRINGS ${BINARY_DIR}/CMakeCache.txt build_type REGEX "^CMAKE_BUILD_TYPE:")
  string(REGEX REPLACE "^[^=]*=" "" build_type "${build_type}")
  if(allowed)
    string(APPEND failures "\n  ${BINARY_DIR} allows development keys: the cpack refusal is not tested")
  endif()
  file(REMOVE_RECURSE ${WORK_DIR})
  execute_process(COMMAND cpack --config ${BINARY_DIR}/CPackConfig.cmake -B ${WORK_DIR}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(result EQUAL 0)
    string(APPEND failures "\n  cpack of a ${build_type} tree with development keys made a package")
  endif()
  file(GLOB made ${WORK_DIR}/*.zip)
  expect_equal("${made}" "" "cpack of a development tree: zips")
  string(REGEX REPLACE "[ \n]+" " " output "${output}")
  expect_contains("${output}" "A package must not embed the development keys" "cpack of a ${build_type} tree")
  expect_contains("${output}" "VANTU_HANDSHAKE_MASTER_KEY" "cpack of a ${build_type} tree")
  file(REMOVE_RECURSE ${WORK_DIR})

elseif(CHECK STREQUAL "layout")
  unpack_package(zip)
  set(package ${WORK_DIR}/package)
  file(GLOB_RECURSE files RELATIVE ${package} ${package}/*)
  list(SORT files)
  expect_equal("${files}"
    "README.md;SHA256SUMS;THIRD-PARTY-NOTICES.txt;bin/VantuToast.dll;bin/VantuToast.pdb;bin/pathwarden-services.exe;bin/pathwarden-services.pdb;bin/vantu-sign.exe;bin/vantu-sign.pdb;examples/minimal-host/CMakeLists.txt;examples/minimal-host/main.cpp;include/IVantuToast.h;lib/cmake/VantuToast/VantuToastConfig.cmake;lib/cmake/VantuToast/VantuToastConfigVersion.cmake"
    "package files")

  # SHA256SUMS names every other file once, with its hash.
  file(STRINGS ${package}/SHA256SUMS sums)
  set(summed "")
  foreach(line ${sums})
    if(NOT line MATCHES "^([0-9a-f]+)  (.+)$")
      string(APPEND failures "\n  SHA256SUMS line \"${line}\"")
      continue()
    endif()
    list(APPEND summed ${CMAKE_MATCH_2})
    set(path ${CMAKE_MATCH_2})
    set(expected ${CMAKE_MATCH_1})
    if(EXISTS ${package}/${path})
      file(SHA256 ${package}/${path} actual)
      expect_equal("${actual}" "${expected}" "SHA256SUMS: ${path}")
    endif()
  endforeach()
  set(others ${files})
  list(REMOVE_ITEM others SHA256SUMS)
  expect_equal("${summed}" "${others}" "files in SHA256SUMS")

  # Entries carry the commit's time, not the build's (as zipinfo reads the
  # entries' Unix times, in UTC).
  execute_process(COMMAND git -C ${SOURCE_DIR} log -1 --format=%ct OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC date -u -d @${epoch} +%Y%m%d.%H%M%S
                  OUTPUT_VARIABLE stamp OUTPUT_STRIP_TRAILING_WHITESPACE)
  execute_process(COMMAND ${CMAKE_COMMAND} -E env TZ=UTC zipinfo -T ${zip} OUTPUT_VARIABLE listing)
  string(REGEX MATCHALL " [0-9][0-9][0-9][0-9][0-9][0-9][0-9][0-9]\\.[0-9][0-9][0-9][0-9][0-9][0-9] " times "${listing}")
  list(TRANSFORM times STRIP)
  list(REMOVE_DUPLICATES times)
  expect_equal("${times}" "${stamp}" "zip entry times")

  # A package with the development keys says, in its README, that it must
  # not ship and which key it embeds.
  if(zip MATCHES "-devkeys\\.zip$")
    file(READ ${package}/README.md readme)
    file(READ ${SOURCE_DIR}/keys/dev-template-signing.pub.hex key)
    string(SUBSTRING "${key}" 0 16 key_prefix)
    expect_contains("${readme}" "must not ship" "package README of a -devkeys package")
    expect_contains("${readme}" "starts with `${key_prefix}`" "package README of a -devkeys package")
  endif()
  file(REMOVE_RECURSE ${WORK_DIR})

elseif(CHECK STREQUAL "signatures")
  unpack_package(zip)
  set(package ${WORK_DIR}/package)
  # Every binary is signed, SHA-256, by the certificate ./run.sh package
  # put beside the zip.
  set(pem ${PACKAGE_DIR}/signing-certificate.pem)
  file(GLOB binaries ${package}/bin/*.dll ${package}/bin/*.exe)
  list(LENGTH binaries count)
  expect_equal("${count}" "3" "signed binaries")
  foreach(binary ${binaries})
    execute_process(COMMAND osslsigncode verify -CAfile ${pem} -in ${binary}
                    RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
    expect_equal("${result}" "0" "osslsigncode verify ${binary}: ${output}")
    expect_contains("${output}" "Signature verification: ok" "verify ${binary}")
    expect_contains("${output}" "SHA256" "verify ${binary}")
  endforeach()
  # One changed byte in the signed DLL's code (a quarter into the file)
  # breaks the signature.
  file(COPY_FILE ${package}/bin/VantuToast.dll ${WORK_DIR}/changed.dll)
  file(SIZE ${WORK_DIR}/changed.dll size)
  math(EXPR offset "${size} / 4")
  vantu_run_checked("changing a byte" sh -c
    "b=$(od -An -tu1 -j \"$2\" -N1 \"$1\")
     printf \"$(printf '\\\\%03o' $(( (b + 1) % 256 )))\" | dd of=\"$1\" bs=1 seek=\"$2\" conv=notrunc status=none"
    sh ${WORK_DIR}/changed.dll ${offset})
  file(SHA256 ${package}/bin/VantuToast.dll original)
  file(SHA256 ${WORK_DIR}/changed.dll changed)
  if(original STREQUAL changed)
    string(APPEND failures "\n  the byte was not changed")
  endif()
  execute_process(COMMAND osslsigncode verify -CAfile ${pem} -in ${WORK_DIR}/changed.dll
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  if(result EQUAL 0)
    string(APPEND failures "\n  a DLL with one changed byte verified:\n${output}")
  endif()

  # A product certificate: a PKCS#12 file with a password that only the
  # environment carries. The install step signs with it, says so, and never
  # prints the password; with a wrong password it stops.
  set(product ${WORK_DIR}/product)
  file(MAKE_DIRECTORY ${product}/prefix/bin)
  file(COPY ${package}/bin/VantuToast.dll DESTINATION ${product}/prefix/bin)
  string(RANDOM LENGTH 24 password)
  set(ENV{VANTU_SIGNING_PASSWORD} "${password}")
  vantu_run_checked("making a product certificate"
    openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj "/CN=Product signing test"
            -addext "extendedKeyUsage=codeSigning" -keyout ${product}/key.pem -out ${product}/certificate.pem)
  vantu_run_checked("packing it" openssl pkcs12 -export -inkey ${product}/key.pem -in ${product}/certificate.pem
                                   -out ${product}/product.p12 -passout env:VANTU_SIGNING_PASSWORD)
  set(finish ${CMAKE_COMMAND} -DCMAKE_INSTALL_PREFIX=${product}/prefix -DVANTU_SIGNING_PKCS12=${product}/product.p12
              -DVANTU_SIGNING_SUMMARY=${product}/signing.txt -DVANTU_PACKAGE_NAME=product-test
              -P ${SOURCE_DIR}/cmake/PackageFinish.cmake)
  execute_process(COMMAND ${finish} RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  expect_equal("${result}" "0" "signing with a product certificate: ${output}")
  string(FIND "${output}" "${password}" at)
  expect_equal("${at}" "-1" "the password in the install step's output")
  execute_process(COMMAND osslsigncode verify -CAfile ${product}/certificate.pem -in ${product}/prefix/bin/VantuToast.dll
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  expect_equal("${result}" "0" "verify against the product certificate: ${output}")
  execute_process(COMMAND openssl x509 -in ${product}/certificate.pem -noout -fingerprint -sha1 OUTPUT_VARIABLE thumbprint)
  string(REGEX REPLACE "^.*=|:|\n" "" thumbprint "${thumbprint}")
  file(READ ${product}/signing.txt summary)
  expect_contains("${summary}" "certificate=product\n" "signing summary")
  expect_contains("${summary}" "thumbprint=${thumbprint}\n" "signing summary")
  set(ENV{VANTU_SIGNING_PASSWORD} "not-${password}")
  execute_process(COMMAND ${finish} RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
  if(result EQUAL 0)
    string(APPEND failures "\n  signing with a wrong password succeeded")
  endif()

  # No private key or certificate store in the package.
  file(GLOB_RECURSE files ${package}/*)
  foreach(file ${files})
    if(file MATCHES "\\.(p12|pfx|pem|key)$")
      string(APPEND failures "\n  key material in the package: ${file}")
    endif()
    file(STRINGS ${file} secret REGEX "PRIVATE KEY")
    if(secret)
      string(APPEND failures "\n  a private key in ${file}")
    endif()
  endforeach()
  file(REMOVE_RECURSE ${WORK_DIR})

elseif(CHECK STREQUAL "notices")
  # Every file outside this project that went into a shipped binary, as its
  # PDB records it (objects and archives linked, source files compiled),
  # comes from a Debian package that THIRD-PARTY-NOTICES.txt names with its
  # version and copyright text.
  unpack_package(zip)
  set(package ${WORK_DIR}/package)
  set(paths "")
  file(GLOB pdbs ${package}/bin/*.pdb)
  foreach(pdb ${pdbs})
    vantu_run_checked("llvm-pdbutil" llvm-pdbutil-19 dump --modules --files ${pdb})
    execute_process(COMMAND llvm-pdbutil-19 dump --modules --files ${pdb} OUTPUT_VARIABLE dump)
    string(REGEX MATCHALL "(`|\\) )/[^` \n]*" found "${dump}")
    list(APPEND paths ${found})
  endforeach()
  list(TRANSFORM paths REPLACE "^(`|\\) )" "")
  # The build's copies of system headers (third_party/) stand for the originals.
  list(TRANSFORM paths REPLACE "^/vantutoast-build/third_party/[^/]*include/" "/usr/include/")
  list(REMOVE_DUPLICATES paths)
  set(system "")
  foreach(path ${paths})
    if(path MATCHES "^/usr/")
      list(APPEND system ${path})
    elseif(NOT path MATCHES "^/vantutoast(-build)?/" AND NOT path MATCHES "^${SOURCE_DIR}/")
      string(APPEND failures "\n  ${path}: of unknown origin")
    endif()
  endforeach()
  execute_process(COMMAND dpkg -S ${system} RESULT_VARIABLE result OUTPUT_VARIABLE owners ERROR_VARIABLE errors)
  expect_equal("${errors}" "" "files no Debian package owns")
  string(REGEX MATCHALL "(^|\n)[^:\n]+" owners "${owners}")
  list(TRANSFORM owners STRIP)
  list(REMOVE_DUPLICATES owners)
  list(SORT owners)
  message(STATUS "components of the shipped binaries: ${owners}")
  # The derivation itself finds what is known to be there: libstdc++, libgcc,
  # the mingw-w64 runtime with winpthreads, RapidJSON.
  foreach(expected g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev rapidjson-dev)
    if(NOT expected IN_LIST owners)
      string(APPEND failures "\n  ${expected} not among the components found: ${owners}")
    endif()
  endforeach()

  file(READ ${package}/THIRD-PARTY-NOTICES.txt notices)
  foreach(owner ${owners})
    execute_process(COMMAND dpkg-query -W -f=\${Version} ${owner} OUTPUT_VARIABLE version)
    expect_contains("${notices}" "\n${owner} ${version}\n" "THIRD-PARTY-NOTICES.txt")
    file(STRINGS /usr/share/doc/${owner}/copyright first LIMIT_COUNT 1 REGEX ".")
    expect_contains("${notices}" "${first}" "THIRD-PARTY-NOTICES.txt: copyright text of ${owner}")
  endforeach()
  foreach(component "libstdc++" "libgcc" "winpthreads" "RapidJSON")
    expect_contains("${notices}" "${component}" "THIRD-PARTY-NOTICES.txt")
  endforeach()
  file(REMOVE_RECURSE ${WORK_DIR})
else()
  message(FATAL_ERROR "unknown CHECK ${CHECK}")
endif()

if(failures)
  message(FATAL_ERROR "${CHECK}:${failures}")
endif()
message(STATUS "${CHECK}: all checks passed")
