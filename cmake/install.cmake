# What `cmake --install` puts in place, in three components:
#   kdr  the command, its man page, its bash completion, the station's
#        systemd units, settings and udev rule (cmake/install-station.cmake)
#        and the documents of the command and the station;
#   dev  the public headers, the libraries and the CMake package KDRCtrl, so
#        that another project does find_package(KDRCtrl) and links kdr::core
#        and kdr::platform, needing nothing else but fmt;
#   python  the Python module and its type stub (python/CMakeLists.txt).
# Each component carries the licence, in Debian's machine-readable form, as
# share/doc/<its package>/copyright.
# Included from the top-level CMakeLists.txt after every target is defined.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# The libraries of the CMake package; each is exported as kdr::<name without
# "kdr_">. A new library joins the package by joining this list.
set(KDR_EXPORTED_TARGETS kdr_base kdr_protocol kdr_platform_common kdr_platform kdr_engine
  kdr_core kdr_reader)

# Targets that only carry build settings of our own (warnings). A static
# library names even its private dependencies in its link interface, as
# $<LINK_ONLY:...>; for these that entry links nothing, so it is dropped
# instead of the target being exported along.
set(KDR_BUILD_ONLY_TARGETS kdr_warnings)

set(KDR_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/KDRCtrl)

foreach(target IN LISTS KDR_EXPORTED_TARGETS)
  string(REGEX REPLACE "^kdr_" "" export_name ${target})
  set_target_properties(${target} PROPERTIES EXPORT_NAME ${export_name})
  get_target_property(links ${target} INTERFACE_LINK_LIBRARIES)
  if(links)
    foreach(helper IN LISTS KDR_BUILD_ONLY_TARGETS)
      list(REMOVE_ITEM links "$<LINK_ONLY:${helper}>")
      list(TRANSFORM links REPLACE "^${helper}$" "$<BUILD_INTERFACE:${helper}>")
    endforeach()
    set_target_properties(${target} PROPERTIES INTERFACE_LINK_LIBRARIES "${links}")
  endif()
endforeach()

install(TARGETS ${KDR_EXPORTED_TARGETS}
  EXPORT KDRCtrlTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The public headers: include/kdr/ but for the simulator's, whose library is
# not part of the package.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/kdr
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
  COMPONENT dev
  FILES_MATCHING PATTERN "*.hpp"
  PATTERN "simulator.hpp" EXCLUDE)

install(EXPORT KDRCtrlTargets
  NAMESPACE kdr::
  DESTINATION ${KDR_CMAKE_PACKAGE_DIR}
  COMPONENT dev)
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/KDRCtrlConfig.cmake.in
  ${PROJECT_BINARY_DIR}/KDRCtrlConfig.cmake
  INSTALL_DESTINATION ${KDR_CMAKE_PACKAGE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/KDRCtrlConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/KDRCtrlConfig.cmake
              ${PROJECT_BINARY_DIR}/KDRCtrlConfigVersion.cmake
  DESTINATION ${KDR_CMAKE_PACKAGE_DIR}
  COMPONENT dev)

# The packages' names are those of cmake/packaging.cmake.
set(kdr_licensed dev libkdr-dev)
if(TARGET kdr)
  list(APPEND kdr_licensed kdr kdr)
endif()
if(TARGET kdr_python)
  list(APPEND kdr_licensed python python3-kdr)
endif()
list(LENGTH kdr_licensed count)
math(EXPR last "${count} - 1")
foreach(i RANGE 0 ${last} 2)
  math(EXPR j "${i} + 1")
  list(GET kdr_licensed ${i} component)
  list(GET kdr_licensed ${j} package)
  install(FILES ${PROJECT_SOURCE_DIR}/cmake/debian-copyright
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package}
    RENAME copyright
    COMPONENT ${component})
endforeach()

if(TARGET kdr)
  install(TARGETS kdr RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT kdr)
  install(FILES ${PROJECT_SOURCE_DIR}/cli/completion/kdr.bash
    DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
    RENAME kdr
    COMPONENT kdr)

  install(CODE "set(KDR_STATION_SOURCE \"${PROJECT_SOURCE_DIR}/station\")
set(KDR_STATION_BUILD \"${PROJECT_BINARY_DIR}/station\")"
    COMPONENT kdr)
  install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/install-station.cmake COMPONENT kdr)
  install(FILES ${PROJECT_SOURCE_DIR}/docs/STATION.md ${PROJECT_SOURCE_DIR}/docs/CLI.md
                ${PROJECT_SOURCE_DIR}/docs/STORE.md
    DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kdr
    COMPONENT kdr)

  # The man page is the command's own help, through help2man, so that it
  # cannot drift from --help: `kdr --help` and `kdr --version` make the page,
  # each command's --help a section of its own.
  find_program(KDR_HELP2MAN help2man)
  find_program(KDR_GZIP gzip)
  if(KDR_HELP2MAN AND KDR_GZIP)
    set(man_dir ${PROJECT_BINARY_DIR}/man)
    add_custom_command(
      OUTPUT ${man_dir}/kdr.1.gz
      COMMAND ${CMAKE_COMMAND} -DKDR=$<TARGET_FILE:kdr> -DHELP2MAN=${KDR_HELP2MAN}
              -DGZIP=${KDR_GZIP} -DOUT=${man_dir}/kdr.1
              -P ${CMAKE_CURRENT_LIST_DIR}/man-page.cmake
      DEPENDS kdr ${CMAKE_CURRENT_LIST_DIR}/man-page.cmake ${CMAKE_CURRENT_LIST_DIR}/kdr-man.h2m
      COMMENT "Man page kdr.1 from kdr --help"
      VERBATIM)
    add_custom_target(kdr_man_page ALL DEPENDS ${man_dir}/kdr.1.gz)
    install(FILES ${man_dir}/kdr.1.gz
      DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
      COMPONENT kdr)
  else()
    message(STATUS "help2man or gzip not found: the man page kdr.1 is not built or installed")
  endif()
endif()
