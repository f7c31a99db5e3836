# The Debian binary package (cpack -G DEB in the build directory, or
# scripts/build-deb.sh). Runtime library dependencies come from
# dpkg-shlibdeps (dpkg-dev); the package installs below /usr whatever the
# build's own prefix, so CUPS finds the filter and the PPDs.
set(RASTERTOPWG2_MAINTAINER "The rastertopwg2 developers <rastertopwg2@localhost>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${RASTERTOPWG2_PACKAGE})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "CUPS filter for GDI page printers")
# CPack puts the summary first and indents this text itself.
set(CPACK_PACKAGE_DESCRIPTION "rastertopwg2 turns CUPS raster pages into the PJL and JBIG page stream of
monochrome, black-and-red and four-colour GDI LED and laser printers.

This package holds the filter, its colour-conversion plug-in (LittleCMS),
PPDs for five printer classes, gdidecode, a decoder of printer streams
for bug reports, and (when built with PAPPL) rastertopwg2-app, a printer
application that presents the printers as IPP Everywhere printers, with
its systemd service (installed, not enabled).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${RASTERTOPWG2_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION text)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The printer application prints PDF documents through Ghostscript; dpkg-shlibdeps
# adds the libraries' packages to this.
if(PAPPL_FOUND)
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "ghostscript")
endif()
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "cups")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "cups-filters")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# Only what the install rules write; the build's own prefix plays no part.
set(CPACK_SET_DESTDIR OFF)
set(CPACK_STRIP_FILES ON)
set(CPACK_SOURCE_IGNORE_FILES "/build.*/;/\\\\.git/;/out/")
include(CPack)
