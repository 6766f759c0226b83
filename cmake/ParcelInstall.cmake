# What `cmake --install` puts under the prefix, in two components:
#   host  the program, the module and the serve plug-in, the shared libraries,
#         the manual page, the service unit and its options file, the docs;
#   dev   the public headers, the static libraries and the shared libraries'
#         link names, the CMake package (find_package(parcel)) and the
#         pkg-config files.
# The package files (cmake/ParcelPackage.cmake) are made from these.
include(CMakePackageConfigHelpers)

# The README: at the top of the Windows bundle, with the package's docs elsewhere.
if(WIN32)
  set(PARCEL_INSTALL_DOCDIR .)
else()
  set(PARCEL_INSTALL_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/parcel-host)
endif()

# The host's binary interface: an include path and nothing to link.
add_library(parcel_host_abi INTERFACE)
target_include_directories(parcel_host_abi INTERFACE
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}> $<INSTALL_INTERFACE:${PARCEL_INSTALL_INCLUDEDIR}>)
set_target_properties(parcel_host_abi PROPERTIES EXPORT_NAME host_abi)
set_target_properties(parcel PROPERTIES EXPORT_NAME module)

install(TARGETS parcel-host RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT host)
install(TARGETS parcel parcel_host_abi EXPORT parcelTargets
  LIBRARY DESTINATION ${PARCEL_INSTALL_MODULEDIR} COMPONENT host)
if(TARGET parcel-host-serve)
  install(TARGETS parcel-host-serve LIBRARY DESTINATION ${PARCEL_INSTALL_MODULEDIR} COMPONENT host)
endif()

# The libraries: static ones always (with the platform layer they are built
# on), shared ones when built. parcel::<name> in the package config picks one.
set(PARCEL_INSTALLED_LIBS runtime errinfo version ni)
set(static_targets parcel_platform)
foreach(lib IN LISTS PARCEL_INSTALLED_LIBS)
  list(APPEND static_targets parcel_${lib})
  set_target_properties(parcel_${lib} PROPERTIES EXPORT_NAME ${lib}_static)
endforeach()
set_target_properties(parcel_platform PROPERTIES EXPORT_NAME platform_static)
install(TARGETS ${static_targets} EXPORT parcelTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
if(PARCEL_SHARED_LIBS)
  foreach(lib IN LISTS PARCEL_INSTALLED_LIBS)
    set_target_properties(parcel_${lib}_shared PROPERTIES EXPORT_NAME ${lib}_shared)
    install(TARGETS parcel_${lib}_shared EXPORT parcelTargets
      RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT host
      LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT host NAMELINK_COMPONENT dev
      ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
  endforeach()
endif()

# Public headers, in their folders. The platform headers are those the public
# ones include, for their types; the functions they declare are internal.
# ni_codes.h is installed without its C++ part, which declares the socket
# layer's internal look-ups.
set(PARCEL_PUBLIC_HEADERS
  interpreter/host_abi.h
  runtime/trace.h runtime/thr.h runtime/mem.h
  errinfo/errinfo.h
  version/version.h
  ni/ni.h ni/ni_cxx.h
  platform/export.h platform/wall_clock.h platform/critical_section.h)
foreach(header IN LISTS PARCEL_PUBLIC_HEADERS)
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${header} DESTINATION ${PARCEL_INSTALL_INCLUDEDIR}/${folder} COMPONENT dev)
endforeach()
file(READ ni/ni_codes.h ni_codes)
string(FIND "${ni_codes}" "#ifdef __cplusplus\nnamespace parcel::ni {" cxx_begin)
string(FIND "${ni_codes}" "#endif  // __cplusplus\n" cxx_end)
if(cxx_begin EQUAL -1 OR cxx_end LESS cxx_begin)
  message(FATAL_ERROR "ni/ni_codes.h: its C++ part is no longer where the install expects it")
endif()
string(SUBSTRING "${ni_codes}" 0 ${cxx_begin} ni_codes_head)
math(EXPR cxx_end "${cxx_end} + 23")
string(SUBSTRING "${ni_codes}" ${cxx_end} -1 ni_codes_tail)
file(CONFIGURE OUTPUT ${CMAKE_BINARY_DIR}/public/ni/ni_codes.h
  CONTENT "${ni_codes_head}${ni_codes_tail}" @ONLY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ni/ni_codes.h)
install(FILES ${CMAKE_BINARY_DIR}/public/ni/ni_codes.h
  DESTINATION ${PARCEL_INSTALL_INCLUDEDIR}/ni COMPONENT dev)

set(PARCEL_MODULE_FILE_NAME parcel${CMAKE_SHARED_MODULE_SUFFIX})

# find_package(parcel): the targets, then parcelConfig.cmake on top of them.
install(EXPORT parcelTargets NAMESPACE parcel:: DESTINATION ${PARCEL_INSTALL_CMAKEDIR}
  COMPONENT dev)
configure_package_config_file(packaging/parcelConfig.cmake.in
  ${CMAKE_BINARY_DIR}/public/parcelConfig.cmake
  INSTALL_DESTINATION ${PARCEL_INSTALL_CMAKEDIR}
  PATH_VARS PARCEL_INSTALL_MODULEDIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/public/parcelConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/public/parcelConfig.cmake
              ${CMAKE_BINARY_DIR}/public/parcelConfigVersion.cmake
  DESTINATION ${PARCEL_INSTALL_CMAKEDIR} COMPONENT dev)

# pkg-config files, relocatable: the prefix is found from the file's folder.
file(RELATIVE_PATH PARCEL_PC_PREFIX_FROM_PCDIR
  ${CMAKE_INSTALL_PREFIX}/${PARCEL_INSTALL_PKGCONFIGDIR} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" PARCEL_PC_PREFIX_FROM_PCDIR "${PARCEL_PC_PREFIX_FROM_PCDIR}")
# What a static link of the platform layer needs besides it.
if(WIN32)
  set(PARCEL_PC_PLATFORM_LIBS "-lshell32 -ladvapi32 -lversion")
else()
  set(PARCEL_PC_PLATFORM_LIBS "-l${CMAKE_DL_LIBS} -pthread")
endif()
set(pc_requires_runtime "")
set(pc_requires_errinfo "parcel-runtime")
set(pc_requires_version "")
set(pc_requires_ni "parcel-errinfo, parcel-runtime")
set(pc_summary_runtime "trace, locks, thread-local keys and allocation wrappers")
set(pc_summary_errinfo "the process-wide error information record")
set(pc_summary_version "reader of module version strings")
set(pc_summary_ni "the network interface library")
foreach(lib IN LISTS PARCEL_INSTALLED_LIBS)
  set(PARCEL_PC_NAME ${lib})
  set(PARCEL_PC_SUMMARY "${pc_summary_${lib}}")
  set(PARCEL_PC_REQUIRES "${pc_requires_${lib}}")
  configure_file(packaging/parcel-lib.pc.in ${CMAKE_BINARY_DIR}/public/parcel-${lib}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/public/parcel-${lib}.pc
    DESTINATION ${PARCEL_INSTALL_PKGCONFIGDIR} COMPONENT dev)
endforeach()
configure_file(packaging/parcel-host-abi.pc.in ${CMAKE_BINARY_DIR}/public/parcel-host-abi.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/public/parcel-host-abi.pc
  DESTINATION ${PARCEL_INSTALL_PKGCONFIGDIR} COMPONENT dev)

install(FILES README.md DESTINATION ${PARCEL_INSTALL_DOCDIR} COMPONENT host)

include(ParcelPackage)
