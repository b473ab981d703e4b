# The Debian package (make package): everything the install rules put in place, under /usr, with its
# dependencies computed from the linked libraries plus the GStreamer plugins the camera path loads.

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The Orvane developers")
set(CPACK_PACKAGE_CONTACT "Orvane developers <developers@orvane.org>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_SOURCE_DIR}/build)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE https://orvane.org)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "gstreamer1.0-plugins-base, gstreamer1.0-plugins-good, qt6-qpa-plugins")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "moves keyboard focus to the monitor you look at")
# The summary is the synopsis line; these are the lines under it.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Orvane is a tray utility for desks with two or more monitors and a webcam.
It notices from your head which monitor you are facing and moves keyboard
focus to the window you last worked in there. A short calibration teaches it
where the monitors are, and it keeps learning from your clicks.

Camera frames are analysed in memory and dropped at once; no image is ever
stored or sent.")

include(CPack)
