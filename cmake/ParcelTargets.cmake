# Helpers that give every component, test, fuzzer and benchmark the same shape.

# parcel_add_library(NAME SOURCES... [DEPS libs...])
# A static library of one subsystem; its folder's parent (the source root) is on
# the include path, so includes read "data/orb_data.h".
# Installed, the include path is the parcel/ folder of the prefix, which holds
# the public headers under the same folder names.
function(parcel_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
                                            $<INSTALL_INTERFACE:${PARCEL_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE $<BUILD_INTERFACE:parcel_warnings>)
endfunction()

# parcel_add_shared_library(NAME FROM static-target API macro-stem [DEPS shared-libs...])
# The shared form of a library whose public functions carry PARCEL_<stem>_API
# (platform/export.h): the static target's sources compiled once more with
# PARCEL_<stem>_BUILD_SHARED, so that those functions, and only those, are
# exported. Users of the target get PARCEL_<stem>_SHARED. The platform layer
# is linked in privately; DEPS are the shared libraries it builds on. Both
# forms are installed as libparcel-<name>, the static one by its own target.
function(parcel_add_shared_library name)
  cmake_parse_arguments(ARG "" "FROM;API" "DEPS" ${ARGN})
  get_target_property(sources ${ARG_FROM} SOURCES)
  add_library(${name} SHARED ${sources})
  target_compile_definitions(${name} PRIVATE PARCEL_${ARG_API}_BUILD_SHARED
                                     INTERFACE PARCEL_${ARG_API}_SHARED)
  target_include_directories(${name} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
                                            $<INSTALL_INTERFACE:${PARCEL_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE parcel_platform parcel_warnings)
  get_target_property(output_name ${ARG_FROM} OUTPUT_NAME)
  set_target_properties(${name} PROPERTIES OUTPUT_NAME ${output_name}
    VERSION ${PARCEL_LIB_VERSION} SOVERSION ${PARCEL_LIB_SOVERSION})
  if(NOT WIN32 AND NOT PARCEL_SANITIZE AND NOT PARCEL_TSAN)
    # Sanitizer runtimes resolve from the executable, so only plain builds can
    # insist that every symbol is resolved at link time.
    target_link_options(${name} PRIVATE -Wl,--no-undefined)
  endif()
endfunction()

# parcel_add_gtest(NAME SOURCES... [DEPS libs...])
# Each test case becomes a CTest test. Cross builds list and run the cases
# under the emulator: the tests require the fixtures in PARCEL_TEST_FIXTURES,
# and the command PARCEL_TEST_DISCOVERY_SETUP runs before the listing (both
# taken from the caller's scope, see ParcelWine.cmake).
function(parcel_add_gtest name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} parcel_warnings GTest::gtest GTest::gtest_main)
  set(properties TIMEOUT 60)
  if(PARCEL_TEST_FIXTURES)
    list(APPEND properties FIXTURES_REQUIRED "${PARCEL_TEST_FIXTURES}")
  endif()
  if(PARCEL_TEST_DISCOVERY_SETUP)
    # Runs before the discovery step, which gtest_discover_tests adds after it.
    add_custom_command(TARGET ${name} POST_BUILD COMMAND ${PARCEL_TEST_DISCOVERY_SETUP} VERBATIM)
  endif()
  gtest_discover_tests(${name}
    PROPERTIES ${properties}
    DISCOVERY_TIMEOUT 120
    WORKING_DIRECTORY ${CMAKE_BINARY_DIR})
endfunction()

# parcel_add_fuzzer(NAME SOURCES... [DEPS libs...] [CORPUS dir])
# Builds a libFuzzer target and registers a short CTest run of it (label "fuzz")
# starting from its committed seed corpus.
set(PARCEL_FUZZ_SECONDS 20 CACHE STRING "Seconds each fuzzer runs under CTest")
function(parcel_add_fuzzer name)
  cmake_parse_arguments(ARG "" "CORPUS" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} parcel_warnings)
  set(work ${CMAKE_BINARY_DIR}/fuzz-work/${name})
  set(seeds "")
  if(ARG_CORPUS)
    set(seeds ${ARG_CORPUS})
  endif()
  add_test(NAME fuzz.${name}
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=1
            sh -c "mkdir -p '${work}' && exec \"$0\" -max_total_time=${PARCEL_FUZZ_SECONDS} -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 '${work}' ${seeds}"
            $<TARGET_FILE:${name}>)
  set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz TIMEOUT 600)
endfunction()

# parcel_add_benchmark(NAME SOURCES... [DEPS libs...])
function(parcel_add_benchmark name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_DEPS} parcel_warnings benchmark::benchmark)
endfunction()
