# Install layout: the daemon in sbin/, its manual page, the systemd unit, the
# example configuration under share/doc/kestrel/examples/, the monitoring
# files under share/kestrel/ and, as the starting configuration, the INI
# files in the folder the gateway reads.
include(GNUInstallDirs)

set(KESTREL_SYSTEMD_UNIT_DIR "lib/systemd/system" CACHE STRING
  "Folder of the systemd unit; relative folders are taken below the install prefix")
option(KESTREL_INSTALL_CONFIG
  "Install the example INI files into /config when no file of that name is there yet" ON)

# The folder the gateway reads its INI files and DeviceFile from
# (kDeviceFileFolder in support/paths.cpp); fixed, not below the prefix.
set(KESTREL_CONFIG_DIR "/config")
file(GLOB KESTREL_CONFIG_INI CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/config/*.ini)

install(TARGETS kestrel RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
install(FILES doc/kestrel.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
install(DIRECTORY config/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
# For the integrator's Prometheus and Grafana: alerting rules and a dashboard.
install(FILES monitoring/kestrel.rules.yml monitoring/kestrel-dashboard.json DESTINATION ${CMAKE_INSTALL_DATADIR}/kestrel)

# The unit names the daemon by its installed path, which is known only at
# install time (cmake --install --prefix, CPack's /usr): the rest is done by
# a script that runs then.
install(CODE "
  set(KESTREL_UNIT_TEMPLATE \"${CMAKE_CURRENT_SOURCE_DIR}/packaging/kestrel.service.in\")
  set(KESTREL_UNIT_STAGING \"${CMAKE_CURRENT_BINARY_DIR}/unit-staging\")
  set(KESTREL_UNIT_DIR \"${KESTREL_SYSTEMD_UNIT_DIR}\")
  set(KESTREL_SBINDIR \"${CMAKE_INSTALL_SBINDIR}\")
  set(KESTREL_INSTALL_CONFIG \"${KESTREL_INSTALL_CONFIG}\")
  set(KESTREL_CONFIG_DIR \"${KESTREL_CONFIG_DIR}\")
  set(KESTREL_CONFIG_INI \"${KESTREL_CONFIG_INI}\")
  include(\"${CMAKE_CURRENT_SOURCE_DIR}/cmake/install_at_install_time.cmake\")
")
