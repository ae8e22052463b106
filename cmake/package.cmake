# Debian package (CPack, DEB generator): scripts/package builds it.
# The INI files installed into /config are dpkg conffiles, so an integrator's
# edits survive upgrades; the copies under share/doc/kestrel/examples are
# plain documentation.

# The package carries the version the program reports (cmake/version.cmake).

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VERSION "${KESTREL_VERSION_TEXT}")
set(CPACK_PACKAGE_CONTACT "kestrel maintainers <kestrel@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Modbus RTU to M-Bus meter gateway")
set(CPACK_PACKAGE_DESCRIPTION
  "kestrel makes devices that speak Modbus RTU appear to an M-Bus master as M-Bus meters.\nIt is an M-Bus slave on one port and a Modbus RTU master on the other; either\nport is a serial line, a TCP connection or a UDP socket.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# Installed with DESTDIR and prefix /usr, so that the unit's ExecStart names
# /usr/sbin/kestrel and /config lands at the root of the package.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_INSTALL_PREFIX /usr)

# The libraries the daemon is built on, by their Debian 12 runtime
# packages. dpkg-shlibdeps adds libc and libstdc++ for a native build; for a
# cross build it cannot read the ARM binary, so those are named here too.
# passwd: useradd and usermod, with which postinst creates the system user.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libiniparser1 (>= 4.1), libmxml1 (>= 3.0), passwd")
if(CMAKE_CROSSCOMPILING)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE armhf)
  # Built against Debian 12: its C and C++ runtimes at least.
  string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libc6 (>= 2.36), libstdc++6 (>= 12), libgcc-s1")
else()
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()

# The maintainer scripts create the system user the unit runs as (postinst)
# and remove it on purge (postrm).
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postinst;${CMAKE_CURRENT_SOURCE_DIR}/packaging/debian/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(KESTREL_INSTALL_CONFIG)
  set(conffiles "")
  foreach(ini IN LISTS KESTREL_CONFIG_INI)
    get_filename_component(name "${ini}" NAME)
    string(APPEND conffiles "${KESTREL_CONFIG_DIR}/${name}\n")
  endforeach()
  file(WRITE "${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles" "${conffiles}")
  list(APPEND CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_BINARY_DIR}/debian/conffiles")
endif()

include(CPack)
