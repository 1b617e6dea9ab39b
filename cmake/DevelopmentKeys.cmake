# The development values of the product's shared secrets. They are public in
# this repository and protect nothing: tests, the demo and the samples use
# them; a release passes the product's own values (see KeyGuard.cmake).
# Plain variables named <setting>_DEVELOPMENT; also read in script mode.
set(VANTU_SEALING_KEY_DEVELOPMENT "{46B0DD0D-3EA0-4240-89C5-F29AE16261F3}")
set(VANTU_HANDSHAKE_KEY_SEED_DEVELOPMENT "66767530f3efb9851c5b888971450e4545b287efa112e31706ad7bdd84acb9ba")
set(VANTU_HANDSHAKE_MASTER_KEY_DEVELOPMENT "01f98e9193f71d5742d4cca2b9dac8c319421c68f74337a012ded1151f695f88")
# The development template-signing key pair lives in keys/.
file(READ ${CMAKE_CURRENT_LIST_DIR}/../keys/dev-template-signing.pub.hex VANTU_TEMPLATE_PUBLIC_KEY_DEVELOPMENT)
string(STRIP "${VANTU_TEMPLATE_PUBLIC_KEY_DEVELOPMENT}" VANTU_TEMPLATE_PUBLIC_KEY_DEVELOPMENT)
