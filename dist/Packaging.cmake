# One .deb with the desk and the local backend: `cpack -G DEB` in the build folder.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME greetwell)
set(CPACK_PACKAGE_VENDOR Greetwell)
set(CPACK_PACKAGE_CONTACT "Greetwell <desk@greetwell.test>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Visitor sign-in, name badges and visitor log for a reception desk")
set(CPACK_PACKAGE_DESCRIPTION
  "Staff sign visitors in through a configurable form, print name badges on a label printer, see who is on site and export the visitor log. Includes greetwell-backend, a local server for the same HTTP contract over PostgreSQL, and a user service that runs it.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
# Libraries the binaries link come from dpkg-shlibdeps; the rest is loaded at run time:
# Qt's SVG plugins draw the icons.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6")
# Glyphs for Chinese, Japanese and Korean visitor names on screen and on badges; the
# Secret Service that keeps the session; the print system; PostgreSQL for the local
# backend (a desk on a hosted project needs none of it).
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk, gnome-keyring | kwalletmanager | keepassxc, cups, postgresql-15")
include(CPack)
