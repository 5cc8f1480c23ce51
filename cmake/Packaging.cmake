# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package: `cpack -G DEB` in a build folder gives
# chipwright_<version>_<arch>.deb with what `cmake --install` puts under /usr. The
# libraries it needs come from dpkg-shlibdeps (package dpkg-dev); the fonts and the
# Qt platform plugins are what the window needs at run time besides.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME chipwright)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Chipwright developers")
set(CPACK_PACKAGE_CONTACT "The Chipwright developers <chipwright@chipwright.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "front end of a USB programmer for serial memory chips")
set(CPACK_PACKAGE_DESCRIPTION
  "Chipwright reads, writes, erases and verifies SPI flash and 24/25/93-series serial\n"
  "EEPROM chips through the USB programmer 10c4:f5a2, from a window in English or\n"
  "Simplified Chinese (chipwright) or from a terminal (chipwright-cli). A simulated\n"
  "programmer lets every command run without hardware.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://chipwright.example)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The line store's libraries (libsqlite3-0, libpq5) also come through dpkg-shlibdeps; they
# are named here as well so the package says so even where shlibdeps is not run.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "qt6-qpa-plugins, qt6-translations-l10n, fonts-dejavu-core, fonts-wqy-zenhei, fonts-urw-base35 | fonts-liberation, libsqlite3-0, libpq5")
# The User Manual command hands the manual to xdg-open.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS xdg-utils)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${CMAKE_SOURCE_DIR}/resources/linux/debian/postinst
  ${CMAKE_SOURCE_DIR}/resources/linux/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
