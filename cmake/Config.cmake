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

set(VANTU_CONFIG_INCLUDE ${CMAKE_BINARY_DIR}/generated)
configure_file(${CMAKE_SOURCE_DIR}/cmake/vantu_config.h.in
               ${VANTU_CONFIG_INCLUDE}/vantu_config.h @ONLY)
