# Cross-compiles the Windows build for x86-64 with mingw-w64. The programs
# are linked statically, so they need only the system's DLLs, and they run
# under Wine (wine64) where it is installed.
set(VARNOK_MINGW_TRIPLET x86_64-w64-mingw32)
set(VARNOK_WINE_LOADER wine64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
