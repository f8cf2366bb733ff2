# The part of the mingw-w64 toolchains that the two targets share; the
# including file sets VARNOK_MINGW_TRIPLET, and VARNOK_WINE_LOADER where
# the programs can run under Wine.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR ${VARNOK_MINGW_TRIPLET})
# The POSIX thread model: the search's read-ahead and GoogleTest need
# std::thread and std::mutex, which this compiler's win32 model lacks.
set(CMAKE_C_COMPILER ${VARNOK_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${VARNOK_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${VARNOK_MINGW_TRIPLET}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${VARNOK_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The C and C++ runtimes go into the .exe: it needs only system DLLs.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static")
# Release programs carry no symbols: the failure report needs none.
set(CMAKE_EXE_LINKER_FLAGS_RELEASE_INIT "-s")

if(VARNOK_WINE_LOADER)
  find_program(VARNOK_WINE ${VARNOK_WINE_LOADER} PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
  if(VARNOK_WINE)
    set(CMAKE_CROSSCOMPILING_EMULATOR ${VARNOK_WINE})
  endif()
endif()
