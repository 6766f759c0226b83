# Warnings and sanitizer flags shared by every target of the project.
add_library(parcel_warnings INTERFACE)
target_compile_options(parcel_warnings INTERFACE -Wall -Wextra -Wshadow)
if(PARCEL_WERROR)
  target_compile_options(parcel_warnings INTERFACE -Werror)
endif()

add_library(parcel_sanitize INTERFACE)
if(PARCEL_SANITIZE)
  # Hosts call the module through plain function pointers (Instantiate and
  # the vtable slots, with the object as first argument), which the
  # function-type check of clang would flag as a type mismatch by design.
  set(_parcel_san_flags -fsanitize=address,undefined -fno-sanitize-recover=undefined
                        -fno-omit-frame-pointer)
  if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    list(APPEND _parcel_san_flags -fno-sanitize=function)
  endif()
  add_compile_options(${_parcel_san_flags})
  add_link_options(${_parcel_san_flags})
endif()

if(PARCEL_TSAN)
  if(PARCEL_SANITIZE)
    message(FATAL_ERROR "PARCEL_TSAN and PARCEL_SANITIZE exclude each other")
  endif()
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# With the fuzzers in the build, every library carries libFuzzer's coverage
# instrumentation, so a fuzzer is guided by the code it exercises and not only
# by its own entry file.
if(PARCEL_BUILD_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link)
endif()
