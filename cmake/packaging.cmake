# The Debian packages, made by CPack from the install components
# (cmake/install.cmake):
#   kdr          the command kdr, its man page and bash completion, and the
#                station: systemd units, /etc/kdr (conffiles), the udev rule;
#   libkdr-dev   the public headers, the static libraries and the CMake package;
#   python3-kdr  the Python module kdr and its type stub (when KDR_PYTHON is on).
# Usage: cpack --config build/<preset>/CPackConfig.cmake   (writes them to the
# current folder; -B DIR elsewhere).

set(KDR_PACKAGE_MAINTAINER "KDRCtrl maintainers <maintainers@kdrctrl.invalid>"
  CACHE STRING "The Maintainer field of the Debian packages")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kdr)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${KDR_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

# Each package's description is its component's: the first line the summary.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL kdr dev)
if(TARGET kdr_python)
  list(APPEND CPACK_COMPONENTS_ALL python)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

set(CPACK_DEBIAN_KDR_PACKAGE_NAME kdr)
set(CPACK_COMPONENT_KDR_DESCRIPTION
  "command-line tool for the KDR portable data reader\n\
kdr opens a password-checked connection with a KDR reader on a serial port,\n\
sets its clock, downloads its records (as text, JSON or CSV) and erases it.\n\
A built-in reader simulator plays a reader on a pseudo-terminal.\n\
The systemd units kdr-collect@.service and kdr-collect-net@.service keep\n\
collecting the readers docked in a cradle into one store; kdr serve (and\n\
kdr-serve.service) shows that store as a read-only web view.")
# The shared libraries it needs (fmt, the C++ runtime), found by dpkg-shlibdeps,
# and the PostgreSQL client library, which the store loads when it is asked
# for a PostgreSQL store, so dpkg-shlibdeps cannot see it; and libnss-systemd,
# through which a PostgreSQL server on this host looks up the stations'
# dynamic user when they connect over its Unix socket.
set(CPACK_DEBIAN_KDR_PACKAGE_SHLIBDEPS ON)
# Chart.js draws the charts of `kdr serve`, which serves it from the system's
# copy.
set(CPACK_DEBIAN_KDR_PACKAGE_DEPENDS "libpq5, libnss-systemd, libjs-chart.js")
# CPack marks nothing in /etc as a conffile by itself: the list is ours. The
# scripts tell a running systemd that its units changed, restart the running
# stations on an upgrade, and on purge remove the stations' settings and
# enablement links.
set(CPACK_DEBIAN_KDR_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/station/debian/conffiles
  ${PROJECT_SOURCE_DIR}/station/debian/postinst
  ${PROJECT_SOURCE_DIR}/station/debian/prerm
  ${PROJECT_SOURCE_DIR}/station/debian/postrm)
set(CPACK_DEBIAN_KDR_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkdr-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libfmt-dev")
set(CPACK_COMPONENT_DEV_DESCRIPTION
  "C++ library for the KDR portable data reader (development files)\n\
The static libraries kdr::core (the controller and the reader protocol) and\n\
kdr::platform (serial port, clock and console host for Linux), their headers\n\
and the CMake package KDRCtrl: find_package(KDRCtrl).")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-kdr)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
# The module is built for one Python's ABI (its file name says which); its
# store loads libpq when asked for a PostgreSQL store, unseen by dpkg-shlibdeps.
math(EXPR kdr_python_next_minor "${Python3_VERSION_MINOR} + 1")
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
  "python3 (>= ${Python3_VERSION_MAJOR}.${Python3_VERSION_MINOR}~), python3 (<< ${Python3_VERSION_MAJOR}.${kdr_python_next_minor}), libpq5")
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS ON)
set(CPACK_COMPONENT_PYTHON_DESCRIPTION
  "Python module for the KDR portable data reader\n\
import kdr: kdr.Reader opens a password-checked connection with a KDR reader\n\
on a serial port, downloads its records as Python objects, sets its clock\n\
and erases it; kdr.collect stores a download as kdr collect does, and\n\
kdr.Simulator plays a reader on a pseudo-terminal for tests.")

include(CPack)
