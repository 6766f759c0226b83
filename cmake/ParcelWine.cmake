# Running the cross-built tests under Wine quickly.
#
# Every Wine process needs a wineserver and the prefix's helper processes.
# Started by a test program, they inherit its output pipe and keep it open for
# seconds after the program has ended, and CTest waits for them: about 2.4 s
# per test. Started beforehand with their output elsewhere, they serve every
# program that follows (cmake/parcel-wineserver.sh).
#
# Include after the toolchain has set PARCEL_WINE_ENV. Defines:
#   tests wine.start/wine.stop  the CTest fixture "wine": a server for the
#                               whole test run, stopped at its end;
#   PARCEL_TEST_FIXTURES        "wine", required by every parcel_add_gtest test;
#   PARCEL_TEST_DISCOVERY_SETUP a command that parcel_add_gtest runs before
#                               listing a test program's cases at build time;
#                               its server ends PARCEL_WINE_BUILD_PERSIST
#                               seconds after its last client.
set(PARCEL_WINE_BUILD_PERSIST 30 CACHE STRING "Seconds the build's wineserver outlives its last client")
set(_wineserver ${PROJECT_SOURCE_DIR}/cmake/parcel-wineserver.sh)

add_test(NAME wine.start COMMAND env ${PARCEL_WINE_ENV} ${_wineserver} restart)
add_test(NAME wine.stop COMMAND env ${PARCEL_WINE_ENV} ${_wineserver} stop)
set_tests_properties(wine.start PROPERTIES FIXTURES_SETUP wine TIMEOUT 120)
set_tests_properties(wine.stop PROPERTIES FIXTURES_CLEANUP wine TIMEOUT 30)

set(PARCEL_TEST_FIXTURES wine)
set(PARCEL_TEST_DISCOVERY_SETUP env ${PARCEL_WINE_ENV} ${_wineserver} start ${PARCEL_WINE_BUILD_PERSIST})
