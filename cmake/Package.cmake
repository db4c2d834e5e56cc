# The Debian package: `bash tools/package.sh` builds it with CPack into build/package/.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME morvika)
set(CPACK_PACKAGE_VENDOR OSKEL)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${MORVIKA_MAINTAINER}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "voice, video and text chat between a few PCs")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${MORVIKA_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${MORVIKA_HOMEPAGE}")
# The synopsis is the summary above; CPack indents these lines and marks the empty one.
set(CPACK_PACKAGE_DESCRIPTION "Morvika joins a few PCs on a LAN or over the Internet for live voice, camera
video (or a still picture), text chat, file sharing and window sharing. Every
participant runs the same program, hosts a session of their own and may join
one other.

The package also holds OskelJpegDump, the GStreamer element that turns camera
frames into JPEG for the program.")
# The libraries come from dpkg-shlibdeps; the GStreamer elements the camera path builds
# (videoconvert, videoscale, videorate; v4l2src) are loaded by name and need naming here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "gstreamer1.0-plugins-base, gstreamer1.0-plugins-good")
# A sound server for libpulse to talk to, libcanberra's backend for the notification sounds,
# Qt's Wayland platform, without which Qt falls back to XWayland on a Wayland session, and
# Qt's own translations for its standard dialogs, and for window sharing on Wayland the
# ScreenCast portal with GStreamer's PipeWire source.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
  "pulseaudio | pipewire-pulse, libcanberra-pulse, qt6-wayland, qt6-translations-l10n, xdg-desktop-portal, gstreamer1.0-pipewire")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
