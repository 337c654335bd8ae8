# Whether the emulated USB bus can be built and run here: umockdev's library
# and headers, GLib, and the preload library that redirects a process's
# /sys and /dev into the testbed (Debian: umockdev, libumockdev-dev).
# Sets UPDATE_EMULATED_BUS, and UPDATE_EMULATED_BUS_MISSING when it is off.
find_package(PkgConfig REQUIRED)
pkg_check_modules(UMOCKDEV QUIET IMPORTED_TARGET umockdev-1.0 glib-2.0 gio-2.0)
find_library(UMOCKDEV_PRELOAD_LIBRARY NAMES libumockdev-preload.so.0)
set(UPDATE_EMULATED_BUS OFF)
if(NOT UMOCKDEV_FOUND)
  set(UPDATE_EMULATED_BUS_MISSING "umockdev-1.0 or glib-2.0 development files not found")
elseif(NOT UMOCKDEV_PRELOAD_LIBRARY)
  set(UPDATE_EMULATED_BUS_MISSING "libumockdev-preload.so.0 not found")
else()
  set(UPDATE_EMULATED_BUS ON)
endif()
