# Where `cmake --install` puts things, relative to the prefix, and the version
# of the shared libraries. Included before the components, since the host
# programs compile in where the module lies relative to them.
include(GNUInstallDirs)

# Public headers keep their folders (ni/ni.h, runtime/trace.h, ...) under one
# parcel/ folder, which is the include path of the installed targets.
set(PARCEL_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/parcel)
# The module is loaded, never linked: on Windows it sits beside the programs
# (where LoadLibrary and Wine look first), elsewhere in a folder of its own
# under the library directory, with the serve plug-in.
if(WIN32)
  set(PARCEL_INSTALL_MODULEDIR ${CMAKE_INSTALL_BINDIR})
else()
  set(PARCEL_INSTALL_MODULEDIR ${CMAKE_INSTALL_LIBDIR}/parcel)
endif()
set(PARCEL_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/parcel)
set(PARCEL_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(PARCEL_INSTALL_SYSTEMDDIR lib/systemd/system)

# The module folder as seen from the programs' folder, with a trailing slash;
# empty when they are the same.
file(RELATIVE_PATH PARCEL_MODULEDIR_FROM_BINDIR
  ${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR} ${CMAKE_INSTALL_PREFIX}/${PARCEL_INSTALL_MODULEDIR})
if(PARCEL_MODULEDIR_FROM_BINDIR)
  string(APPEND PARCEL_MODULEDIR_FROM_BINDIR /)
endif()

# The shared libraries' interface version: SONAME libparcel-<name>.so.1.
set(PARCEL_LIB_SOVERSION 1)
set(PARCEL_LIB_VERSION 1.0.0)
