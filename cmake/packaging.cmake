# Installation and packages (Linux): `cmake --install` puts the library, its
# header, the CMake package and the pkg-config file into the GNU directories,
# and CPack makes four Debian packages of them:
#   libvrsilo3     component runtime  the library (libvrsilo.so.3 and its soname link)
#   libvrsilo-dev  component dev      header, libvrsilo.so, CMake package, vrsilo.pc
#   vrsilo-tools   component tools    simulator, reference host, MQTT agent and its
#                                     systemd unit, man pages, the station's broker
#                                     example
#   vrsilo-office  component office   the head office's page, the office broker's
#                                     examples and vr-office-user; only when the
#                                     page is built (VR_OFFICE_PAGE_DIR, needs npm)
# Hosts load the library at run time (dlopen), so what a developer needs is its
# header and its path: the CMake package's VRSILO_MODULE and pkg-config's
# `module` variable.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set_target_properties(vrsilo PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
set(VRSILO_SONAME libvrsilo.so.${PROJECT_VERSION_MAJOR})

install(TARGETS vrsilo
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
install(FILES include/vrsilo.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(FILES include/vrsilo/gauge.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vrsilo COMPONENT dev)

# CMake package: vrsilo::headers and VRSILO_MODULE, relocatable with the prefix.
set(VRSILO_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/vrsilo)
set(VRSILO_MODULE_PATH ${CMAKE_INSTALL_LIBDIR}/${VRSILO_SONAME})
configure_package_config_file(packaging/vrsiloConfig.cmake.in
                              ${CMAKE_CURRENT_BINARY_DIR}/packaging/vrsiloConfig.cmake
                              INSTALL_DESTINATION ${VRSILO_CMAKE_DIR}
                              PATH_VARS CMAKE_INSTALL_INCLUDEDIR VRSILO_MODULE_PATH)
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/packaging/vrsiloConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/vrsiloConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/packaging/vrsiloConfigVersion.cmake
        DESTINATION ${VRSILO_CMAKE_DIR} COMPONENT dev)

# pkg-config: the header's Cflags and the library's path in `module`.
configure_file(packaging/vrsilo.pc.in ${CMAKE_CURRENT_BINARY_DIR}/packaging/vrsilo.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/packaging/vrsilo.pc
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# Files compressed as Debian installs them (gzip -9n: no name, no time stamp).
function(vr_gzip_file source output)
  get_filename_component(dir ${output} DIRECTORY)
  add_custom_command(OUTPUT ${output}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
                     COMMAND gzip -9n -c ${source} > ${output}
                     DEPENDS ${source} VERBATIM)
endfunction()

# What Debian wants in every package: the copyright file and a compressed
# changelog under /usr/share/doc/<package>; and the lintian overrides, each
# with its reason.
set(VRSILO_DEB_PACKAGES runtime:libvrsilo3 dev:libvrsilo-dev tools:vrsilo-tools office:vrsilo-office)
set(VRSILO_CHANGELOG_GZ ${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.Debian.gz)
vr_gzip_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/changelog ${VRSILO_CHANGELOG_GZ})
add_custom_target(vrsilo_changelog ALL DEPENDS ${VRSILO_CHANGELOG_GZ})
foreach(entry IN LISTS VRSILO_DEB_PACKAGES)
  string(REPLACE ":" ";" entry ${entry})
  list(GET entry 0 component)
  list(GET entry 1 package)
  install(FILES packaging/copyright ${VRSILO_CHANGELOG_GZ}
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  install(FILES packaging/lintian/${package} DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides
          COMPONENT ${component})
endforeach()

# A man page of a tool, compressed and installed with the tools; in section
# 1 unless a second argument names another, a third names the component.
function(vr_install_man_file page)
  set(section 1)
  set(component tools)
  if(ARGC GREATER 1)
    set(section ${ARGV1})
  endif()
  if(ARGC GREATER 2)
    set(component ${ARGV2})
  endif()
  get_filename_component(name ${page} NAME)
  set(gz ${CMAKE_CURRENT_BINARY_DIR}/man/${name}.gz)
  vr_gzip_file(${page} ${gz})
  add_custom_target(${name}_man ALL DEPENDS ${gz})
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section} COMPONENT ${component})
endfunction()

# Man pages made from the tools' --help by help2man when it is there, so they
# never disagree with the programs.
find_program(VR_HELP2MAN help2man)
function(vr_install_man_page tool description)
  if(NOT VR_HELP2MAN OR CMAKE_CROSSCOMPILING)
    return()
  endif()
  set(page ${CMAKE_CURRENT_BINARY_DIR}/man/${tool}.1)
  add_custom_command(OUTPUT ${page}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
                     COMMAND ${VR_HELP2MAN} --no-info --no-discard-stderr --section=1
                             --version-string=${PROJECT_VERSION} --name=${description}
                             --output=${page} $<TARGET_FILE:${tool}>
                     DEPENDS ${tool} VERBATIM)
  vr_install_man_file(${page})
endfunction()

# systemd units: Debian 12's packages ship them under /lib.
if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(VRSILO_SYSTEMD_UNIT_DIR /lib/systemd/system)
else()
  set(VRSILO_SYSTEMD_UNIT_DIR lib/systemd/system)
endif()

# The station's and the office's mosquitto brokers: configuration examples
# (the admin copies them into /etc/mosquitto/conf.d; nothing is dropped there
# by the packages). A station needs only its own; the office's examples, its
# user tool and the page its broker serves (office.conf's http_dir) go together.
install(FILES packaging/mosquitto/station.conf packaging/prometheus/vrsilo-alerts.yml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vrsilo-tools/examples COMPONENT tools)
install(FILES packaging/mosquitto/office.conf packaging/mosquitto/office.acl
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vrsilo-office/examples COMPONENT office)
install(FILES packaging/stunnel/vrsilo-office.conf DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/vrsilo-office/examples
        RENAME stunnel.conf COMPONENT office)
install(PROGRAMS packaging/mosquitto/vr-office-user DESTINATION ${CMAKE_INSTALL_SBINDIR} COMPONENT office)
vr_install_man_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/mosquitto/vr-office-user.8 8 office)
if(VR_OFFICE_PAGE_DIR)
  install(DIRECTORY ${VR_OFFICE_PAGE_DIR}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/vrsilo/web COMPONENT office
          FILE_PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()

set(CPACK_PACKAGE_NAME vrsilo)
set(CPACK_PACKAGE_VENDOR "vrsilo developers")
set(CPACK_PACKAGE_CONTACT "vrsilo developers <vrsilo@vrsilo.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime dev tools)
if(VR_OFFICE_PAGE_DIR)
  list(APPEND CPACK_COMPONENTS_ALL office)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://localhost/vrsilo")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# vr-agent links libvrsilo.so.3 of this build; the tools package depends on
# libvrsilo3 of the same version through the component dependency.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_CURRENT_BINARY_DIR})
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvrsilo3)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# ldconfig through dpkg's trigger, without maintainer scripts.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_SOURCE_DIR}/packaging/triggers)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_SOURCE_DIR}/packaging/deb_without_ldconfig_scripts.cmake)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "Veeder-Root tank gauge driver library
The driver a fuel-station management application loads to read every
tank's level, temperatures, water, density and volume from a Veeder-Root
automatic tank gauge over a serial line, a network link or the host's
communication block. It brings its own settings dialog and a
calibration-table tool.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libvrsilo-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS runtime)
set(CPACK_DEBIAN_DEV_DESCRIPTION "Veeder-Root tank gauge driver library - development files
The C header of the driver's two entry points and slot table, a CMake
package (find_package(vrsilo 3 CONFIG): vrsilo::headers, VRSILO_MODULE)
and a pkg-config file whose `module` variable holds the library's path.")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME vrsilo-tools)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
# The station's example configures mosquitto.
set(CPACK_DEBIAN_TOOLS_PACKAGE_SUGGESTS mosquitto)
set(CPACK_DEBIAN_TOOLS_DESCRIPTION "Veeder-Root tank gauge driver - simulator, reference host, MQTT agent
vr-gauge-sim answers the gauge's inventory and calibration commands on a
pseudo-terminal or a TCP port, with gauge families and injected faults.
vr-host loads the driver library as a station's host does and reads
tanks, calibration tables and the link's trace; --probe finds the gauge.
vr-agent publishes every tank of a station to an MQTT broker; an example
configures a station's mosquitto bridged to the office's (vrsilo-office).")

# Nothing compiled: the page, the broker's examples and a shell script. The
# broker serves the page and vr-office-user runs its mosquitto_passwd.
set(CPACK_DEBIAN_OFFICE_PACKAGE_NAME vrsilo-office)
set(CPACK_DEBIAN_OFFICE_PACKAGE_SECTION net)
set(CPACK_DEBIAN_OFFICE_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_OFFICE_PACKAGE_DEPENDS mosquitto)
# stunnel gives the page TLS (examples/stunnel.conf).
set(CPACK_DEBIAN_OFFICE_PACKAGE_RECOMMENDS stunnel4)
set(CPACK_DEBIAN_OFFICE_DESCRIPTION "Veeder-Root tank gauge driver - head office's page and MQTT broker
Every station's vr-agent publishes its tanks to the office's mosquitto,
bridged from the station's broker. This package holds the office broker's
configuration, its access list and stunnel's TLS front as examples,
vr-office-user to add the stations' and the readers' users, and the page
the broker serves: every site and tank at once, worst first, with alarms,
orders due, deliveries, a day's trend and a CSV export.")
include(CPack)
