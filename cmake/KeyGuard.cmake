# A release must never embed the development keys by accident: they are
# public in this repository. Also runs in script mode (the key guard test).
include(${CMAKE_CURRENT_LIST_DIR}/DevelopmentKeys.cmake)

# No code-signing certificate given means a development certificate made on
# this machine: as much a development key as the others.
set(VANTU_SIGNING_PKCS12_DEVELOPMENT "")
set(VANTU_RELEASE_KEY_SETTINGS
    VANTU_TEMPLATE_PUBLIC_KEY VANTU_SEALING_KEY VANTU_HANDSHAKE_KEY_SEED VANTU_HANDSHAKE_MASTER_KEY
    VANTU_SIGNING_PKCS12)

# vantu_check_release_keys(IN_USE ERROR WARNING): IN_USE receives the settings
# that still hold their development value (hexadecimal digits and GUIDs
# compare without case); ERROR why this configuration must stop (a release
# with development keys, not allowed by VANTU_ALLOW_DEVELOPMENT_KEYS), WARNING
# what to say when it is allowed; both empty otherwise. A release is a
# Release or MinSizeRel build, or any build that makes the package
# (VANTU_RELEASE_PACKAGE, set by ./run.sh package), whatever its build type.
function(vantu_check_release_keys in_use_out error_out warning_out)
  set(in_use "")
  foreach(setting ${VANTU_RELEASE_KEY_SETTINGS})
    string(TOLOWER "${${setting}}" value)
    string(TOLOWER "${${setting}_DEVELOPMENT}" development)
    if(value STREQUAL development)
      list(APPEND in_use ${setting})
    endif()
  endforeach()
  set(${in_use_out} "${in_use}" PARENT_SCOPE)
  set(${error_out} "" PARENT_SCOPE)
  set(${warning_out} "" PARENT_SCOPE)

  string(TOUPPER "${CMAKE_BUILD_TYPE}" build_type)
  if(NOT in_use OR NOT (build_type MATCHES "^(RELEASE|MINSIZEREL)$" OR VANTU_RELEASE_PACKAGE))
    return()
  endif()
  list(JOIN in_use ", " names)
  set(build "A ${CMAKE_BUILD_TYPE} build")
  if(VANTU_RELEASE_PACKAGE)
    set(build "A package build")
  endif()
  if(VANTU_ALLOW_DEVELOPMENT_KEYS)
    string(CONCAT text
        "VANTU_ALLOW_DEVELOPMENT_KEYS is on: this build embeds development keys "
        "(${names}); its package is marked -devkeys and must not ship.")
    set(${warning_out} "${text}" PARENT_SCOPE)
  else()
    string(CONCAT text
        "${build} must not embed the development keys, which are public. "
        "Still at their development value: ${names}. Pass the product's own values "
        "(-D<setting>=<value> for each), or -DVANTU_ALLOW_DEVELOPMENT_KEYS=ON for a package "
        "marked -devkeys that must not ship.")
    set(${error_out} "${text}" PARENT_SCOPE)
  endif()
endfunction()

# Sets VANTU_DEVELOPMENT_KEYS_IN_USE; stops a release with development keys
# unless they are allowed.
macro(vantu_guard_release_keys)
  vantu_check_release_keys(VANTU_DEVELOPMENT_KEYS_IN_USE _key_error _key_warning)
  if(_key_error)
    message(FATAL_ERROR "${_key_error}")
  elseif(_key_warning)
    message(WARNING "${_key_warning}")
  endif()
endmacro()
