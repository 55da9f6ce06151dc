# The Debian package of the programs and what dist/ installs, built with
# "cmake --build BUILD --target package". Included from the top-level list after dist/.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vantrel-uploadd)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "upload daemon delivering recordings to a recording service")
# The extended description; the summary above is its first line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "vantrel-uploadd takes upload jobs from a recording application through a
REST/JSON control API on loopback and delivers the recordings to a recording
service in MD5-checked chunks over SOAP, keeping every job in an SQLite
database so that no work is lost across restarts. vantrel-upload is its
command-line client. A systemd user unit starts the daemon at login.")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "vantrel developers <maintainers@vantrel.example.org>"
    CACHE STRING "Maintainer field of the Debian package")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Library dependencies from the programs themselves; systemd-tmpfiles for the postinst.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "systemd")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/dist/postinst)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
