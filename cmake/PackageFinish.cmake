# The last install step, over the installed tree (cmake --install and CPack's
# staging folder alike): the key guard, Authenticode signatures, the
# third-party notices and SHA256SUMS. Included by the install script with the
# build's settings set (see Release.cmake).
set(_prefix "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")

# Installing is packaging, whatever the build type.
if(VANTU_DEVELOPMENT_KEYS_IN_USE AND NOT VANTU_ALLOW_DEVELOPMENT_KEYS)
  list(JOIN VANTU_DEVELOPMENT_KEYS_IN_USE ", " _names)
  message(FATAL_ERROR
    "A package must not embed the development keys, which are public. Still at their development "
    "value: ${_names}. Configure with the product's own values, or with "
    "-DVANTU_ALLOW_DEVELOPMENT_KEYS=ON for a package marked -devkeys that must not ship.")
endif()

include(${CMAKE_CURRENT_LIST_DIR}/RunChecked.cmake)

# --- Code-signing certificate ------------------------------------------------------
# The product's PKCS#12 file, its password read from VANTU_SIGNING_PASSWORD by
# the tools themselves (never on a command line, in the cache or in a log);
# otherwise a development certificate kept outside the source tree, made once
# per machine.
set(_password_env VANTU_SIGNING_PASSWORD)
if(VANTU_SIGNING_PKCS12)
  set(_p12 "${VANTU_SIGNING_PKCS12}")
  set(_kind product)
  if(NOT EXISTS "${_p12}")
    message(FATAL_ERROR "The code-signing file VANTU_SIGNING_PKCS12=${_p12} does not exist")
  endif()
else()
  set(_kind development)
  set(_dir "${VANTU_DEVELOPMENT_SIGNING_DIR}")
  if(NOT _dir)
    if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
      set(_dir "$ENV{XDG_CACHE_HOME}/vantutoast-devsign")
    else()
      set(_dir "$ENV{HOME}/.cache/vantutoast-devsign")
    endif()
  endif()
  set(_p12 "${_dir}/development-codesign.p12")
  set(_password_env VANTU_DEVELOPMENT_SIGNING_PASSWORD)  # unset: the file has no password
  if(NOT EXISTS "${_p12}")
    message(STATUS "Making a development code-signing certificate in ${_dir}")
    file(MAKE_DIRECTORY "${_dir}")
    file(CHMOD "${_dir}" DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE)
    vantu_run_checked("Making the development certificate"
      openssl req -x509 -newkey rsa:3072 -sha256 -nodes -days 3650
              -subj "/O=Zelnor/CN=VantuToast development code signing (not for release)"
              -addext "keyUsage=critical,digitalSignature" -addext "extendedKeyUsage=codeSigning"
              -keyout "${_dir}/key.pem" -out "${_dir}/certificate.pem")
    vantu_run_checked("Packing the development certificate"
      openssl pkcs12 -export -inkey "${_dir}/key.pem" -in "${_dir}/certificate.pem"
              -out "${_p12}.new" -passout pass:)
    file(REMOVE "${_dir}/key.pem")
    file(RENAME "${_p12}.new" "${_p12}")
  endif()
endif()

# The certificate alone (public), for the summary and for verifying.
get_filename_component(_summary_dir "${VANTU_SIGNING_SUMMARY}" DIRECTORY)
set(_certificate "${_summary_dir}/signing-certificate.pem")
vantu_run_checked("Reading the signing certificate"
  sh -c "printf '%s\\n' \"$(printenv $1)\" | openssl pkcs12 -in \"$2\" -nokeys -clcerts -passin stdin -out \"$3\""
     sh ${_password_env} "${_p12}" "${_certificate}")
execute_process(COMMAND openssl x509 -in "${_certificate}" -noout -subject -nameopt RFC2253
                OUTPUT_VARIABLE _subject OUTPUT_STRIP_TRAILING_WHITESPACE)
execute_process(COMMAND openssl x509 -in "${_certificate}" -noout -fingerprint -sha1
                OUTPUT_VARIABLE _thumbprint OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REGEX REPLACE "^subject=" "" _subject "${_subject}")
string(REGEX REPLACE "^.*=" "" _thumbprint "${_thumbprint}")
string(REPLACE ":" "" _thumbprint "${_thumbprint}")

# --- Authenticode ------------------------------------------------------------------------
# SHA-256, no time-stamping service (the build machine reaches none): the
# signature is valid while the certificate is.
file(GLOB _binaries "${_prefix}/bin/*.dll" "${_prefix}/bin/*.exe")
foreach(_binary ${_binaries})
  file(REMOVE "${_binary}.signed")
  vantu_run_checked("Signing ${_binary}"
    sh -c "password=$(printenv \"$1\")
           set -- -pkcs12 \"$2\" -h sha256 -n Pathwarden -in \"$3\" -out \"$3.signed\"
           if [ -n \"$password\" ]
           then printf '%s' \"$password\" | osslsigncode sign \"$@\" -readpass /dev/stdin
           else osslsigncode sign \"$@\"
           fi"
       sh ${_password_env} "${_p12}" "${_binary}")
  file(RENAME "${_binary}.signed" "${_binary}")
endforeach()
file(WRITE "${VANTU_SIGNING_SUMMARY}"
  "certificate=${_kind}\nsubject=${_subject}\nthumbprint=${_thumbprint}\npem=${_certificate}\n")

# --- Third-party notices -----------------------------------------------------------------
# Taken at package time from the installed Debian packages: their versions
# and their copyright files, which hold the licence texts.
set(_what_g++-mingw-w64-x86-64-posix
    "GNU C++ library (libstdc++): statically linked. GPL-3 with the GCC Runtime Library Exception.")
set(_what_gcc-mingw-w64-x86-64-posix
    "GCC low-level runtime library (libgcc, libgcc_eh): statically linked. GPL-3 with the GCC Runtime Library Exception.")
set(_what_mingw-w64-x86-64-dev
    "mingw-w64 runtime: C runtime start-up code, libmingw32, libmingwex, winpthreads (POSIX threads), import libraries: statically linked.")
set(_what_rapidjson-dev "RapidJSON (JSON parser, header-only): compiled in. MIT licence.")
set(_notice_packages g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix mingw-w64-x86-64-dev rapidjson-dev)
string(CONCAT _notices "Third-party software in ${VANTU_PACKAGE_NAME}\n\n"
  "The binaries in bin/ contain the components below, compiled in or statically linked. Each is\n"
  "named with the Debian package it was built from, that package's version, and that package's\n"
  "copyright file, which holds the licence texts.\n")
set(_texts_seen "")
foreach(_package ${_notice_packages})
  execute_process(COMMAND dpkg-query -W -f=\${Version} ${_package}
                  RESULT_VARIABLE _result OUTPUT_VARIABLE _version ERROR_QUIET)
  set(_copyright /usr/share/doc/${_package}/copyright)
  if(NOT _result EQUAL 0 OR NOT EXISTS ${_copyright})
    message(FATAL_ERROR "Third-party notices: Debian package ${_package} or its copyright file is missing")
  endif()
  string(APPEND _notices "\n\n==============================================================================\n"
                         "${_package} ${_version}\n${_what_${_package}}\n"
                         "==============================================================================\n\n")
  file(SHA256 ${_copyright} _hash)
  if(DEFINED _text_of_${_hash})
    string(APPEND _notices "Copyright and licence: the same file as for ${_text_of_${_hash}} above.\n")
  else()
    set(_text_of_${_hash} ${_package})
    file(READ ${_copyright} _text)
    string(APPEND _notices "${_text}")
  endif()
endforeach()
file(WRITE "${_prefix}/THIRD-PARTY-NOTICES.txt" "${_notices}")

# --- SHA256SUMS ----------------------------------------------------------------------------
# Every file as shipped (signed), in sha256sum's format.
file(GLOB_RECURSE _files LIST_DIRECTORIES false RELATIVE "${_prefix}" "${_prefix}/*")
list(REMOVE_ITEM _files SHA256SUMS)
list(SORT _files)
set(_sums "")
foreach(_file ${_files})
  file(SHA256 "${_prefix}/${_file}" _hash)
  string(APPEND _sums "${_hash}  ${_file}\n")
endforeach()
file(WRITE "${_prefix}/SHA256SUMS" "${_sums}")
