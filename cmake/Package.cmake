# The Debian package, made by CPack from the installation rules (cmake/Install.cmake):
#   scripts/package      (or: cpack -G DEB in a build folder configured with the /usr prefix)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME zingwell)
set(CPACK_PACKAGE_VENDOR "Zingwell developers")
set(CPACK_PACKAGE_CONTACT "Zingwell developers <dev@zingwell.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "pass files to another computer on the local network")
# The package's long description, as `apt show` prints it (lines of at most 80 characters).
set(CPACK_PACKAGE_DESCRIPTION [[
Zingwell shows a little yellow dog that stays on top of your windows. Files
dropped on it are queued and sent one by one to a buddy, another computer on
the local network running Zingwell, or uploaded to an FTP server. The queue
survives a restart.

A buddy is found by itself with a small multicast message, or its address is
typed in. Every copy receives its buddies' files into ~/Zingwell, keeps a plain
activity log there, and barks when a file is dropped or arrives.]])

# The program is built to find its bark and guide under its own prefix: the package must put
# them there. A package for /usr/local would break Debian's rules, and lintian says so.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The libraries the program links, with the versions it needs, from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Qt plays the bark through GStreamer (without it nothing is heard, and nothing fails), and
# needs its Wayland plugin where a session has no X11 at all.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "gstreamer1.0-plugins-base, gstreamer1.0-pulseaudio, qt6-wayland")
# Purging removes /etc/zingwell, which only a run as root writes (dpkg does not know of it).
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/resources/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
