# Runs during installation (included by the install(CODE) of install.cmake),
# when CMAKE_INSTALL_PREFIX is the prefix actually installed to and DESTDIR,
# if set, the staging root. file(INSTALL) adds DESTDIR by itself.

function(kestrel_below_prefix folder result)
  if(IS_ABSOLUTE "${folder}")
    set(${result} "${folder}" PARENT_SCOPE)
  else()
    set(${result} "${CMAKE_INSTALL_PREFIX}/${folder}" PARENT_SCOPE)
  endif()
endfunction()

# systemd unit, ExecStart naming the installed daemon. Staged in a folder of
# its own per destination, so that concurrent installs do not share a file.
kestrel_below_prefix("${KESTREL_SBINDIR}" sbindir)
kestrel_below_prefix("${KESTREL_UNIT_DIR}" unitdir)
set(KESTREL_EXECUTABLE "${sbindir}/kestrel")
string(MD5 destination "$ENV{DESTDIR}|${CMAKE_INSTALL_PREFIX}")
set(staged "${KESTREL_UNIT_STAGING}/${destination}/kestrel.service")
configure_file("${KESTREL_UNIT_TEMPLATE}" "${staged}" @ONLY)
file(INSTALL DESTINATION "${unitdir}" TYPE FILE FILES "${staged}")

# Starting configuration: an INI file already in place is the installation's
# own and is never replaced.
if(KESTREL_INSTALL_CONFIG)
  foreach(ini IN LISTS KESTREL_CONFIG_INI)
    get_filename_component(name "${ini}" NAME)
    if(EXISTS "$ENV{DESTDIR}${KESTREL_CONFIG_DIR}/${name}")
      message(STATUS "Keeping: $ENV{DESTDIR}${KESTREL_CONFIG_DIR}/${name}")
    else()
      file(INSTALL DESTINATION "${KESTREL_CONFIG_DIR}" TYPE FILE FILES "${ini}")
    endif()
  endforeach()
endif()
