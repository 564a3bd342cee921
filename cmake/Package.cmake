# SPDX-License-Identifier: MIT
# cpack -G DEB: the package qim, laid out under /usr as Debian's own.
set(CPACK_PACKAGE_NAME qim)
set(CPACK_PACKAGE_VENDOR "The QIM developers")
set(CPACK_PACKAGE_CONTACT "The QIM developers <qim@example.org>" CACHE STRING
    "The package's maintainer, as Debian writes it: NAME <EMAIL>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "emulator and virtual machine disk images as a block device")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "QIM serves the disk image of a PC emulator or virtual machine as the block\n"
    "device /dev/qim0, through FUSE, so that the file systems inside it mount with\n"
    "the usual tools. It reads and writes VMware 2, 3 and 4 sparse disks and redo\n"
    "logs, Virtual PC fixed, dynamic and differencing disks, the disk images of the\n"
    "PC-98 emulators, D88 floppies, FM Towns ROM images and raw images, and finds\n"
    "PC/AT and PC-98 partitions inside them. qimc mounts an image, qim serves it\n"
    "(also as the systemd unit qim.service), and qimg inspects, checks and converts\n"
    "images without root.")
string(JOIN "" CPACK_DEBIAN_PACKAGE_DESCRIPTION ${CPACK_DEBIAN_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# The paths the programs and the unit name are those of the install, not of
# a staging directory: install with DESTDIR.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# No maintainer scripts, so that dpkg -r leaves nothing behind; systemd sees
# the unit after systemctl daemon-reload.
include(CPack)
