# Generates the one header that carries build-time configuration into the code.
# Values that must match other components of the product are cache variables.
string(LENGTH "${VANTU_LOG_NAME_KEY}" _len)
if(NOT _len EQUAL 7 OR NOT VANTU_LOG_NAME_KEY MATCHES "^[A-Za-z0-9]+$")
  message(FATAL_ERROR "VANTU_LOG_NAME_KEY must be 7 ASCII letters or digits")
endif()

string(LENGTH "${VANTU_SEALING_KEY}" _len)
if(NOT _len EQUAL 38 OR NOT VANTU_SEALING_KEY MATCHES
   "^{[0-9A-Fa-f]+-[0-9A-Fa-f]+-[0-9A-Fa-f]+-[0-9A-Fa-f]+-[0-9A-Fa-f]+}$" OR NOT VANTU_SEALING_KEY MATCHES
   "^{........-....-....-....-............}$")
  message(FATAL_ERROR "VANTU_SEALING_KEY must be a GUID in braces (38 characters)")
endif()

if(NOT VANTU_TEMPLATE_PUBLIC_KEY MATCHES "^[0-9A-Fa-f]+$")
  message(FATAL_ERROR "VANTU_TEMPLATE_PUBLIC_KEY must be 128 hexadecimal characters")
endif()
string(LENGTH "${VANTU_TEMPLATE_PUBLIC_KEY}" _len)
if(NOT _len EQUAL 128)
  message(FATAL_ERROR "VANTU_TEMPLATE_PUBLIC_KEY must be 128 hexadecimal characters, not ${_len}")
endif()
# The same key as a byte list for the initializer in the code.
string(REGEX REPLACE "([0-9A-Fa-f][0-9A-Fa-f])" "0x\\1," VANTU_TEMPLATE_PUBLIC_KEY_BYTES
       "${VANTU_TEMPLATE_PUBLIC_KEY}")
# A 32-byte secret given as 64 hexadecimal characters becomes a C initialiser
# list: of bytes (0x01, ...) or of little-endian 32-bit words (0x04030201u, ...).
function(vantu_hex_secret var out_bytes out_words)
  string(LENGTH "${${var}}" len)
  if(NOT len EQUAL 64 OR NOT "${${var}}" MATCHES "^[0-9A-Fa-f]+$")
    message(FATAL_ERROR "${var} must be 64 hexadecimal characters (32 bytes)")
  endif()
  string(TOLOWER "${${var}}" hex)
  set(bytes "")
  set(words "")
  foreach(word RANGE 0 7)
    set(w "")
    foreach(b RANGE 0 3)
      math(EXPR offset "(${word} * 4 + ${b}) * 2")
      string(SUBSTRING "${hex}" ${offset} 2 byte)
      list(APPEND bytes "0x${byte}")
      set(w "${byte}${w}")
    endforeach()
    list(APPEND words "0x${w}u")
  endforeach()
  string(JOIN ", " bytes ${bytes})
  string(JOIN ", " words ${words})
  set(${out_bytes} "${bytes}" PARENT_SCOPE)
  set(${out_words} "${words}" PARENT_SCOPE)
endfunction()
vantu_hex_secret(VANTU_HANDSHAKE_KEY_SEED _unused VANTU_HANDSHAKE_KEY_SEED_WORDS)
vantu_hex_secret(VANTU_HANDSHAKE_MASTER_KEY VANTU_HANDSHAKE_MASTER_KEY_BYTES _unused)

set(VANTU_CONFIG_INCLUDE ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_CURRENT_LIST_DIR}/vantu_config.h.in
               ${VANTU_CONFIG_INCLUDE}/vantu_config.h @ONLY)
