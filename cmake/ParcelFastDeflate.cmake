# libdeflate for the zip writer's one-shot deflate path (option
# PARCEL_FAST_DEFLATE).
#
# PARCEL_LIBDEFLATE chooses where it comes from:
#   source  the sources of Debian's libdeflate package, fetched at configure
#           time into the build tree by fetch_debian_source.sh (never into the
#           source tree) and compiled here with the project's compiler;
#   system  the library of Debian's libdeflate-dev (native builds only).
# Cross builds for Windows have no binary package and always use the sources;
# when they cannot be fetched, the build warns and the writer uses zlib alone.
# Native builds default to the sources too: Debian's binary is built with
# profile feedback from one small text file and full hardening, and deflates
# this project's benchmark sets about a tenth slower than the same sources
# compiled here. When the sources cannot be fetched, and in sanitizer builds
# (which need not instrument a third-party library), they use the system
# library.
#
# Result: target parcel_libdeflate and PARCEL_FAST_DEFLATE_BUILT (ON or OFF).
set(PARCEL_FAST_DEFLATE_BUILT OFF)
if(NOT PARCEL_FAST_DEFLATE)
  return()
endif()

set(PARCEL_LIBDEFLATE "source" CACHE STRING
    "libdeflate for the one-shot path: source (Debian's source package, compiled here) or system")
set_property(CACHE PARCEL_LIBDEFLATE PROPERTY STRINGS source system)
set(PARCEL_LIBDEFLATE_SOURCE_DIR "" CACHE PATH
    "Unpacked libdeflate sources to use instead of fetching Debian's source package")

# Sets `out` to the folder of unpacked sources, or to "" when they cannot be had.
function(parcel_libdeflate_sources out)
  set(dir ${PARCEL_LIBDEFLATE_SOURCE_DIR})
  if(NOT dir)
    set(dir ${CMAKE_BINARY_DIR}/libdeflate-src)
    if(NOT EXISTS ${dir}/libdeflate.h)
      message(STATUS "Fetching Debian's libdeflate source package into ${dir}")
      execute_process(
        COMMAND sh ${PROJECT_SOURCE_DIR}/cmake/fetch_debian_source.sh libdeflate ${dir}
        RESULT_VARIABLE fetched OUTPUT_VARIABLE log ERROR_VARIABLE log)
      if(NOT fetched EQUAL 0)
        message(WARNING "libdeflate sources could not be fetched:\n${log}")
        set(${out} "" PARENT_SCOPE)
        return()
      endif()
    endif()
  endif()
  set(${out} ${dir} PARENT_SCOPE)
endfunction()

set(from_source ON)
if(NOT CMAKE_CROSSCOMPILING AND (PARCEL_LIBDEFLATE STREQUAL "system" OR PARCEL_SANITIZE))
  set(from_source OFF)
endif()

if(from_source)
  parcel_libdeflate_sources(dir)
  if(dir)
    # Only compression and CRC-32; decompression is never called.
    add_library(parcel_libdeflate STATIC
      ${dir}/lib/deflate_compress.c ${dir}/lib/crc32.c ${dir}/lib/utils.c
      ${dir}/lib/x86/cpu_features.c ${dir}/lib/arm/cpu_features.c)
    target_include_directories(parcel_libdeflate SYSTEM PUBLIC ${dir})
    # The flags upstream builds with; its warnings are not this project's.
    target_compile_options(parcel_libdeflate PRIVATE -O2 -fomit-frame-pointer -w)
    set_target_properties(parcel_libdeflate PROPERTIES C_VISIBILITY_PRESET hidden)
    set(PARCEL_FAST_DEFLATE_BUILT ON)
    return()
  endif()
  if(CMAKE_CROSSCOMPILING)
    message(WARNING "The Windows module deflates with zlib alone.")
    return()
  endif()
  message(WARNING "Using the system's libdeflate instead.")
endif()

find_path(PARCEL_LIBDEFLATE_INCLUDE_DIR libdeflate.h)
find_library(PARCEL_LIBDEFLATE_LIBRARY deflate)
if(NOT PARCEL_LIBDEFLATE_INCLUDE_DIR OR NOT PARCEL_LIBDEFLATE_LIBRARY)
  message(FATAL_ERROR "libdeflate not found: install libdeflate-dev (scripts/deps.sh), "
                      "or configure with -DPARCEL_FAST_DEFLATE=OFF for zlib alone")
endif()
add_library(parcel_libdeflate INTERFACE)
target_include_directories(parcel_libdeflate INTERFACE ${PARCEL_LIBDEFLATE_INCLUDE_DIR})
target_link_libraries(parcel_libdeflate INTERFACE ${PARCEL_LIBDEFLATE_LIBRARY})
set(PARCEL_FAST_DEFLATE_BUILT ON)
