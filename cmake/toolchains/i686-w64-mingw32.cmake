# Cross-compiles the Windows build for 32-bit x86 with mingw-w64, the
# program's original platform. Its programs are linked statically; they are
# not run here (the 32-bit Wine loader needs a kernel that runs 32-bit code).
set(VARNOK_MINGW_TRIPLET i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
