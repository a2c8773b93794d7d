# Run when installing (cmake --install, or cpack, which installs with the
# prefix /usr): installs what follows from the install's prefix, the paths
# written into files included. The settings go where GNUInstallDirs would put
# them: /etc for the prefixes /usr and /, PREFIX/etc for any other.
#
# Set by the install rules: KIVO_TEMPLATES (this folder), KIVO_SETTINGS_SAMPLE,
# KIVO_CONFIGURED (a build folder for the configured files), and the paths
# below the prefix KIVO_SBINDIR_RELATIVE and KIVO_DATADIR_RELATIVE.

set(prefix "${CMAKE_INSTALL_PREFIX}")
if(prefix STREQUAL "/usr" OR prefix STREQUAL "/")
  set(KIVO_ETCDIR /etc)
else()
  set(KIVO_ETCDIR "${prefix}/etc")
endif()
if(prefix STREQUAL "/")
  set(prefix "")
endif()

# The names that configure_file puts into the templates.
set(KIVO_SYSCONFDIR "${KIVO_ETCDIR}/kivo")
set(KIVO_SBINDIR "${prefix}/${KIVO_SBINDIR_RELATIVE}")
set(KIVO_FULL_DATADIR "${prefix}/${KIVO_DATADIR_RELATIVE}")
set(unitdir "${prefix}/lib/systemd/system")

function(kivo_configure template output)
  configure_file("${KIVO_TEMPLATES}/${template}" "${KIVO_CONFIGURED}/${output}" @ONLY)
endfunction()
kivo_configure(snmptrapd.conf.in snmptrapd.conf)
kivo_configure(snmptrapd-perl.conf.in snmptrapd-perl.conf)
kivo_configure(kivotrapd.service.in kivotrapd.service)
kivo_configure(snmptrapd-dropin.conf.in kivotrapd.conf)

# The settings hold the database password: readable by root and, once the
# package's scripts have set the group, by the daemon's group.
file(INSTALL "${KIVO_SETTINGS_SAMPLE}" DESTINATION "${KIVO_SYSCONFDIR}"
  RENAME kivo.conf PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ)
file(INSTALL "${KIVO_CONFIGURED}/snmptrapd.conf" "${KIVO_CONFIGURED}/snmptrapd-perl.conf"
  DESTINATION "${KIVO_SYSCONFDIR}")
file(INSTALL "${KIVO_TEMPLATES}/kivotrapd.logrotate" DESTINATION "${KIVO_ETCDIR}/logrotate.d"
  RENAME kivotrapd)
file(INSTALL "${KIVO_CONFIGURED}/kivotrapd.service" DESTINATION "${unitdir}")
# Starts snmptrapd with the in-process handler's snippet added.
file(INSTALL "${KIVO_CONFIGURED}/kivotrapd.conf" DESTINATION "${unitdir}/snmptrapd.service.d")
