# The Windows build tested under Wine. This native tree builds the x86-64
# Windows program and its unit tests in a sub-build with mingw-w64, runs
# those unit tests under wine64, and runs the end-to-end tests (built here,
# natively) against the .exe.
include(ExternalProject)

find_program(VARNOK_WINE wine64 PATHS /usr/lib/wine REQUIRED)
find_program(VARNOK_WINESERVER NAMES wineserver64 wineserver PATHS /usr/lib/wine REQUIRED)
set(VARNOK_WINE_PREFIX ${CMAKE_BINARY_DIR}/wineprefix
    CACHE PATH "The Wine prefix the tests run in, created on first use")

# The Windows build tree: below this one unless told otherwise. The preset
# "wine" names the preset "mingw64"'s tree, so that a machine that has built
# it (as CI has, for the .zip) does not build it twice.
set(VARNOK_WINDOWS_BUILD ${CMAKE_BINARY_DIR}/mingw64
    CACHE PATH "Where the x86-64 Windows program and its unit tests are built")
set(windows_build ${VARNOK_WINDOWS_BUILD})
ExternalProject_Add(varnok_windows
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${windows_build}
  CMAKE_ARGS
    -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/toolchains/x86_64-w64-mingw32.cmake
    -DCMAKE_BUILD_TYPE=${CMAKE_BUILD_TYPE}
    -DVARNOK_WERROR=${VARNOK_WERROR}
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON)
add_dependencies(varnok_e2e_tests varnok_windows)

set(wine ${CMAKE_BINARY_DIR}/wine)
configure_file(wine/wine.in ${wine} @ONLY
               FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                WORLD_READ WORLD_EXECUTE)
set(windows_program ${CMAKE_BINARY_DIR}/varnok-wine)
file(WRITE ${windows_program} "#!/bin/sh\nexec '${wine}' '${windows_build}/varnok.exe' \"$@\"\n")
file(CHMOD ${windows_program} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                          GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(windows_tool ${CMAKE_BINARY_DIR}/varnok-wine-tool)
file(WRITE ${windows_tool} "#!/bin/sh\nexec '${wine}' '${windows_build}/tests/varnok_wine_tool.exe' \"$@\"\n")
file(CHMOD ${windows_tool} PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                       GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

add_test(NAME wine_start COMMAND ${wine} start)
set_tests_properties(wine_start PROPERTIES FIXTURES_SETUP wine TIMEOUT 300)
add_test(NAME wine_unit_tests COMMAND ${wine} ${windows_build}/tests/varnok_unit_tests.exe)
set_tests_properties(wine_unit_tests PROPERTIES FIXTURES_REQUIRED wine)
gtest_discover_tests(varnok_e2e_tests DISCOVERY_TIMEOUT 60
  PROPERTIES ENVIRONMENT VARNOK_E2E_WINDOWS_PROGRAM=${windows_program}
             ENVIRONMENT_MODIFICATION VARNOK_E2E_WINDOWS_TOOL=set:${windows_tool}
             FIXTURES_REQUIRED wine TIMEOUT 300)
