# libdeflate for the zip writer's one-shot deflate path (option
# PARCEL_FAST_DEFLATE). Linux builds use the system library (Debian package
# libdeflate-dev). Cross builds for Windows compile the part the writer needs
# from Debian's source package, fetched at configure time into the build tree
# by fetch_debian_source.sh; when it cannot be had, the build warns and the
# writer uses zlib alone.
#
# Result: target parcel_libdeflate and PARCEL_FAST_DEFLATE_BUILT (ON or OFF).
set(PARCEL_FAST_DEFLATE_BUILT OFF)
if(NOT PARCEL_FAST_DEFLATE)
  return()
endif()

if(NOT CMAKE_CROSSCOMPILING)
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
  return()
endif()

set(PARCEL_LIBDEFLATE_SOURCE_DIR "" CACHE PATH
    "Unpacked libdeflate sources for the cross build (empty: fetch Debian's source package)")
set(dir ${PARCEL_LIBDEFLATE_SOURCE_DIR})
if(NOT dir)
  set(dir ${CMAKE_BINARY_DIR}/libdeflate-src)
  if(NOT EXISTS ${dir}/libdeflate.h)
    message(STATUS "Fetching Debian's libdeflate source package into ${dir}")
    execute_process(
      COMMAND sh ${CMAKE_CURRENT_LIST_DIR}/fetch_debian_source.sh libdeflate ${dir}
      RESULT_VARIABLE fetched OUTPUT_VARIABLE log ERROR_VARIABLE log)
    if(NOT fetched EQUAL 0)
      message(WARNING "libdeflate sources could not be fetched; the Windows module uses zlib "
                      "alone for deflate.\n${log}")
      return()
    endif()
  endif()
endif()

# Only compression and CRC-32; decompression is never called.
add_library(parcel_libdeflate STATIC
  ${dir}/lib/deflate_compress.c ${dir}/lib/crc32.c ${dir}/lib/utils.c
  ${dir}/lib/x86/cpu_features.c)
target_include_directories(parcel_libdeflate SYSTEM PUBLIC ${dir})
target_compile_options(parcel_libdeflate PRIVATE -O2 -fomit-frame-pointer -w)
set_target_properties(parcel_libdeflate PROPERTIES C_VISIBILITY_PRESET hidden)
set(PARCEL_FAST_DEFLATE_BUILT ON)
