# Installs the station's files, run by `cmake --install` and CPack for the
# component kdr (KDR_STATION_SOURCE and KDR_STATION_BUILD set before it):
#   lib/systemd/system/kdr-collect@.service      one station per serial cradle
#   lib/systemd/system/kdr-collect-net@.service  one per network cradle
#   lib/systemd/system/kdr-serve.service         the web view, off until enabled
#   etc/kdr/collect.conf, etc/kdr/password, etc/kdr/collect.d/
#   share/kdr/udev/70-kdr-cradle.rules           inactive until copied
#   libexec/kdr/cradle-unit                      the rule's helper
# For the prefix /usr (the Debian package) the units and settings go where
# the system looks for them, /lib/systemd/system and /etc/kdr; for any other
# prefix below it, so that a trial install never touches the system. The
# files name the installed paths, so they are made here, where the prefix is
# known.

if(CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$")
  set(etc_dir /etc)
  set(unit_dir /lib/systemd/system)
else()
  set(etc_dir "${CMAKE_INSTALL_PREFIX}/etc")
  set(unit_dir "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
endif()
set(KDR_CONFIG_DIR "${etc_dir}/kdr")
set(KDR_BINARY "${CMAKE_INSTALL_PREFIX}/bin/kdr")
set(libexec_dir "${CMAKE_INSTALL_PREFIX}/libexec/kdr")
set(KDR_CRADLE_UNIT "${libexec_dir}/cradle-unit")
# The files are made in a folder of this install's own, so that installs
# into other prefixes (or DESTDIRs) at the same time each install their own.
string(RANDOM LENGTH 12 ALPHABET 0123456789abcdef tag)
set(made "${KDR_STATION_BUILD}/install-${tag}")

# A serial cradle: the instance is its device path, escaped; the station
# starts whenever that device appears (once enabled) and stops when it goes.
set(KDR_UNIT_NAME "kdr-collect@.service")
set(KDR_UNIT_USAGE "The instance is the cradle's serial device, escaped as systemd escapes paths:
#   systemctl enable --now kdr-collect@$(systemd-escape --path /dev/serial/by-id/usb-...).service")
set(KDR_UNIT_DESCRIPTION "KDR station on %f")
set(KDR_UNIT_DEPENDENCIES "BindsTo=%i.device\nAfter=%i.device")
set(KDR_UNIT_PORT "Environment=KDR_PORT=%f")
set(KDR_UNIT_PORT_FILE "-")
set(KDR_UNIT_ASSERTS "")
set(KDR_UNIT_WANTED_BY "%i.device")
configure_file("${KDR_STATION_SOURCE}/kdr-collect.service.in" "${made}/kdr-collect@.service" @ONLY)

# A network cradle: the instance is a name of the site's choosing, and the
# cradle's own file names the port (KDR_PORT=tcp://host:port).
set(KDR_UNIT_NAME "kdr-collect-net@.service")
set(KDR_UNIT_USAGE "The instance is a name; ${KDR_CONFIG_DIR}/collect.d/<name>.conf names the port:
#   KDR_PORT=tcp://host:port
#   systemctl enable --now kdr-collect-net@<name>.service")
set(KDR_UNIT_DESCRIPTION "KDR station on network cradle %i")
set(KDR_UNIT_DEPENDENCIES "")
set(KDR_UNIT_PORT "# KDR_PORT comes from the cradle's own file, which must exist.")
set(KDR_UNIT_PORT_FILE "")
set(KDR_UNIT_ASSERTS "AssertPathExists=${KDR_CONFIG_DIR}/collect.d/%i.conf\n")
set(KDR_UNIT_WANTED_BY "multi-user.target")
configure_file("${KDR_STATION_SOURCE}/kdr-collect.service.in" "${made}/kdr-collect-net@.service"
  @ONLY)

configure_file("${KDR_STATION_SOURCE}/kdr-serve.service.in" "${made}/kdr-serve.service" @ONLY)

configure_file("${KDR_STATION_SOURCE}/70-kdr-cradle.rules.in" "${made}/70-kdr-cradle.rules" @ONLY)

file(INSTALL "${made}/kdr-collect@.service" "${made}/kdr-collect-net@.service"
  "${made}/kdr-serve.service" DESTINATION "${unit_dir}")
file(INSTALL "${KDR_STATION_SOURCE}/collect.conf" DESTINATION "${KDR_CONFIG_DIR}")
# The password: root's alone; systemd hands it to the station.
file(INSTALL "${KDR_STATION_SOURCE}/password" DESTINATION "${KDR_CONFIG_DIR}"
  PERMISSIONS OWNER_READ OWNER_WRITE)
file(MAKE_DIRECTORY "$ENV{DESTDIR}${KDR_CONFIG_DIR}/collect.d")
file(INSTALL "${made}/70-kdr-cradle.rules" DESTINATION "${CMAKE_INSTALL_PREFIX}/share/kdr/udev")
file(INSTALL "${KDR_STATION_SOURCE}/cradle-unit" DESTINATION "${libexec_dir}"
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
                   WORLD_EXECUTE)
file(REMOVE_RECURSE "${made}")
