# Installation layout and the Debian package.
include(GNUInstallDirs)

install(TARGETS update RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES docs/update.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# udev reads its rules from /usr/lib/udev/rules.d (packages) and
# /etc/udev/rules.d (local administration), nowhere under /usr/local.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(default_udev_rules_dir "lib/udev/rules.d")
else()
  set(default_udev_rules_dir "/etc/udev/rules.d")
endif()
set(UPDATE_UDEV_RULES_DIR "${default_udev_rules_dir}" CACHE STRING
    "Where the udev rule that grants the seat user access to 0483:5720 goes")
install(FILES packaging/60-update-bootloader.rules DESTINATION ${UPDATE_UDEV_RULES_DIR})

set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "update")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_CONTACT "update maintainers <update@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_DEBIAN_FILE_NAME "DEB-DEFAULT")
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
# dpkg-shlibdeps derives the run-time dependencies, libusb-1.0-0 among them,
# from the libraries the program is linked against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Firmware updater for 0483:5720 mass-storage bootloaders\n Writes a raw firmware image into a device whose bootloader enumerates as a\n USB mass-storage unit, through SCSI over Bulk-Only Transport, and verifies it.")
include(CPack)
