# Cross-build for 64-bit Windows with MinGW-w64 from Debian
# (g++-mingw-w64-x86-64-posix):
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake
# The tests run through Wine (Debian: wine64) where it is installed.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(MELD_MINGW x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${MELD_MINGW}-gcc-posix)
set(CMAKE_CXX_COMPILER ${MELD_MINGW}-g++-posix)
set(CMAKE_RC_COMPILER ${MELD_MINGW}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${MELD_MINGW})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Test programs run under Wine, quietly; Debian keeps wine64 off the PATH.
find_program(MELD_WINE NAMES wine64 wine PATHS /usr/lib/wine NO_CMAKE_FIND_ROOT_PATH)
if(MELD_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml= ${MELD_WINE})
endif()
