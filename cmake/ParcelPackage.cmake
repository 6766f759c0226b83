# The packages, made by CPack from the install components
# (cmake/ParcelInstall.cmake):
#   Linux    Debian packages: parcel-host (component host: the program, the
#            module, the serve plug-in and its service unit, the shared
#            libraries, the manual page) and libparcel-dev (component dev);
#   Windows  one zip bundle of everything, unpacked and run as it is.
# Linux builds also install the manual page, the service unit and its options
# file, and each package's copyright and changelog.
set(CPACK_PACKAGE_NAME parcel)
set(CPACK_PACKAGE_VENDOR "parcel developers")
set(CPACK_PACKAGE_CONTACT "parcel developers <parcel@parcel.invalid>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "packs files into a zip archive through a plug-in module")
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME parcel-${PROJECT_VERSION}-win64)
  set(CPACK_ARCHIVE_COMPONENT_INSTALL OFF)
  include(CPack)
  return()
endif()

# Sanitizer builds are for testing: nothing of theirs is shipped.
if(PARCEL_SANITIZE OR PARCEL_TSAN)
  return()
endif()

# The manual page, from the program's own help.
find_package(Python3 COMPONENTS Interpreter REQUIRED)
set(man_page ${CMAKE_BINARY_DIR}/man/parcel-host.1)
add_custom_command(OUTPUT ${man_page}.gz
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/packaging/manpage.py
          $<TARGET_FILE:parcel-host> ${PROJECT_VERSION} ${man_page}
  COMMAND gzip -9nf ${man_page}
  DEPENDS parcel-host ${PROJECT_SOURCE_DIR}/packaging/manpage.py
  COMMENT "Writing the manual page parcel-host(1)"
  VERBATIM)
add_custom_target(parcel_manpage ALL DEPENDS ${man_page}.gz)
install(FILES ${man_page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT host)

# The service and its options file (a conffile of the package).
set(PARCEL_SERVICE_ENV_FILE ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default/parcel-host)
set(PARCEL_SERVICE_PROGRAM ${CMAKE_INSTALL_FULL_BINDIR}/parcel-host)
configure_file(packaging/parcel-host.service.in ${CMAKE_BINARY_DIR}/packaging/parcel-host.service
  @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/packaging/parcel-host.service
  DESTINATION ${PARCEL_INSTALL_SYSTEMDDIR} COMPONENT host)
install(FILES packaging/parcel-host.default DESTINATION ${CMAKE_INSTALL_FULL_SYSCONFDIR}/default
  RENAME parcel-host COMPONENT host)
file(WRITE ${CMAKE_BINARY_DIR}/packaging/conffiles "${PARCEL_SERVICE_ENV_FILE}\n")

# Each package's copyright and changelog under its own doc folder.
set(PARCEL_CHANGELOG_DATE "Mon, 01 Jan 2024 00:00:00 +0000")
foreach(package IN ITEMS parcel-host libparcel-dev)
  set(PARCEL_CHANGELOG_PACKAGE ${package})
  configure_file(packaging/changelog.in ${CMAKE_BINARY_DIR}/packaging/${package}/changelog @ONLY)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/packaging/${package}/changelog.gz
    COMMAND gzip -9nkf ${CMAKE_BINARY_DIR}/packaging/${package}/changelog
    DEPENDS ${CMAKE_BINARY_DIR}/packaging/${package}/changelog
    VERBATIM)
  list(APPEND changelogs ${CMAKE_BINARY_DIR}/packaging/${package}/changelog.gz)
endforeach()
add_custom_target(parcel_changelogs ALL DEPENDS ${changelogs})
install(FILES packaging/copyright ${CMAKE_BINARY_DIR}/packaging/parcel-host/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/parcel-host COMPONENT host)
install(FILES packaging/copyright ${CMAKE_BINARY_DIR}/packaging/libparcel-dev/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libparcel-dev COMPONENT dev)

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL host dev)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_HOST_PACKAGE_NAME parcel-host)
# The shared libraries are registered with the ldconfig trigger.
file(WRITE ${CMAKE_BINARY_DIR}/packaging/triggers "activate-noawait ldconfig\n")
set(CPACK_DEBIAN_HOST_PACKAGE_CONTROL_EXTRA
  ${CMAKE_BINARY_DIR}/packaging/conffiles ${CMAKE_BINARY_DIR}/packaging/triggers)
set(CPACK_DEBIAN_HOST_DESCRIPTION "packs files into a zip archive through a plug-in module
parcel-host loads the parcel module the way a service host does and packs
files and folders through it into zip archives; parcel-host serve offers the
same over HTTP and comes with a systemd unit (parcel-host.service), disabled
until enabled. The package holds the program, the module, the serve plug-in
and the shared libraries of parcel's platform layers.")
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libparcel-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "parcel-host (= ${PROJECT_VERSION})")
set(CPACK_DEBIAN_DEV_DESCRIPTION "headers and libraries for parcel hosts and library users
The binary interface header of the parcel module, the public headers and the
static libraries of the trace, thread and memory services, the error
information, the version reader and the network library, the link names of
their shared libraries, a CMake package (find_package(parcel)) and
pkg-config files.")
set(CPACK_COMPONENT_HOST_DISPLAY_NAME "parcel-host, the module and the shared libraries")
set(CPACK_COMPONENT_DEV_DISPLAY_NAME "headers, static libraries, CMake and pkg-config files")
include(CPack)
