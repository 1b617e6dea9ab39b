# Build-time configuration shared with other components of the product.
# Development defaults; a release build passes the product's own values.
# Included by the Windows build and by the native build of the format code.
include(${CMAKE_CURRENT_LIST_DIR}/DevelopmentKeys.cmake)
set(VANTU_LOG_NAME_KEY "Q7mRx2K" CACHE STRING "7-character key that scrambles the user name in log file names")
set(VANTU_SEALING_KEY "${VANTU_SEALING_KEY_DEVELOPMENT}" CACHE STRING
    "38-character braced GUID: the cipher key of sealed registry values, shared with every writer of them")
set(VANTU_TEMPLATE_PUBLIC_KEY "${VANTU_TEMPLATE_PUBLIC_KEY_DEVELOPMENT}" CACHE STRING
    "128 hexadecimal characters: the P-256 public key (X then Y) that verifies toast templates")
# Handshake secrets of the pipe transport, shared with the product services:
# 32 bytes each, written as 64 hexadecimal characters in byte order.
set(VANTU_HANDSHAKE_KEY_SEED "${VANTU_HANDSHAKE_KEY_SEED_DEVELOPMENT}"
    CACHE STRING "Handshake key seed: 64 hexadecimal characters")
set(VANTU_HANDSHAKE_MASTER_KEY "${VANTU_HANDSHAKE_MASTER_KEY_DEVELOPMENT}"
    CACHE STRING "Handshake master key: 64 hexadecimal characters")
include(${CMAKE_CURRENT_LIST_DIR}/Config.cmake)
