# Build-time configuration shared with other components of the product.
# Development defaults; a release build passes the product's own values.
# Included by the Windows build and by the native build of the format code.
set(VANTU_LOG_NAME_KEY "Q7mRx2K" CACHE STRING "7-character key that scrambles the user name in log file names")
set(VANTU_SEALING_KEY "{46B0DD0D-3EA0-4240-89C5-F29AE16261F3}" CACHE STRING
    "38-character braced GUID: the cipher key of sealed registry values, shared with every writer of them")
# The development template-signing key pair lives in keys/; a release build
# passes the product's own public key.
file(READ ${CMAKE_CURRENT_LIST_DIR}/../keys/dev-template-signing.pub.hex VANTU_DEV_TEMPLATE_PUBLIC_KEY)
string(STRIP "${VANTU_DEV_TEMPLATE_PUBLIC_KEY}" VANTU_DEV_TEMPLATE_PUBLIC_KEY)
set(VANTU_TEMPLATE_PUBLIC_KEY "${VANTU_DEV_TEMPLATE_PUBLIC_KEY}" CACHE STRING
    "128 hexadecimal characters: the P-256 public key (X then Y) that verifies toast templates")
# Handshake secrets of the pipe transport, shared with the product services:
# 32 bytes each, written as 64 hexadecimal characters in byte order.
set(VANTU_HANDSHAKE_KEY_SEED "66767530f3efb9851c5b888971450e4545b287efa112e31706ad7bdd84acb9ba"
    CACHE STRING "Handshake key seed (development default): 64 hexadecimal characters")
set(VANTU_HANDSHAKE_MASTER_KEY "01f98e9193f71d5742d4cca2b9dac8c319421c68f74337a012ded1151f695f88"
    CACHE STRING "Handshake master key (development default): 64 hexadecimal characters")
include(${CMAKE_CURRENT_LIST_DIR}/Config.cmake)
