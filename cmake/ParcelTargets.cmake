# Helpers that give every component, test, fuzzer and benchmark the same shape.

# parcel_add_library(NAME SOURCES... [DEPS libs...])
# A static library of one subsystem; its folder's parent (the source root) is on
# the include path, so includes read "data/orb_data.h".
function(parcel_add_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE parcel_warnings)
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
