# Cross-builds the Windows executable for x86-64 with Debian's MinGW-w64 (the posix thread
# model): cmake -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TVX_MINGW_TRIPLET x86_64-w64-mingw32)
find_program(CMAKE_CXX_COMPILER NAMES ${TVX_MINGW_TRIPLET}-g++-posix ${TVX_MINGW_TRIPLET}-g++
             REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${TVX_MINGW_TRIPLET}-gcc-posix ${TVX_MINGW_TRIPLET}-gcc
             REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${TVX_MINGW_TRIPLET}-windres REQUIRED)

# Libraries and headers come from the MinGW sysroot only; programs run at build time from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${TVX_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

