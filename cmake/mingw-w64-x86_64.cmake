# Cross build for 64-bit Windows with mingw-w64 (the -posix thread variant),
# whose executables run under Wine. Binaries link the GCC runtime statically so
# parcel.dll imports only system DLLs.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PARCEL_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${PARCEL_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${PARCEL_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${PARCEL_MINGW_TRIPLE}-windres)

# Libraries and headers come from the cross tree only; programs from the build machine.
set(CMAKE_FIND_ROOT_PATH /usr/${PARCEL_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# find_package(ZLIB) takes libz.a, never the import library of zlib1.dll.
set(ZLIB_USE_STATIC_LIBS ON)

# libgcc, libstdc++ and winpthread go into each binary instead of being imported.
set(CMAKE_EXE_LINKER_FLAGS_INIT -static)
set(CMAKE_SHARED_LINKER_FLAGS_INIT -static)
set(CMAKE_MODULE_LINKER_FLAGS_INIT -static)

# Test programs run under Wine in a prefix of their own inside the build tree,
# quietly, without the optional runtimes Wine would offer to install and
# without desktop menu entries.
set(PARCEL_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
set(PARCEL_WINE_ENV WINEPREFIX=${PARCEL_WINEPREFIX} WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml,winemenubuilder.exe=)
set(CMAKE_CROSSCOMPILING_EMULATOR env ${PARCEL_WINE_ENV} wine)
