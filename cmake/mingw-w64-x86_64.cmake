# Cross-compiles the library for 64-bit Windows with MinGW-w64 from a Linux
# machine (Debian: g++-mingw-w64-x86-64-posix). The posix thread model is
# needed because the library uses std::mutex and std::thread; the win32
# model's libstdc++ has neither on older compilers.
#
#   cmake -S . -B build/windows \
#     -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(PCBINSPECT_MINGW_PREFIX x86_64-w64-mingw32)
find_program(CMAKE_C_COMPILER NAMES ${PCBINSPECT_MINGW_PREFIX}-gcc-posix
  ${PCBINSPECT_MINGW_PREFIX}-gcc REQUIRED)
find_program(CMAKE_CXX_COMPILER NAMES ${PCBINSPECT_MINGW_PREFIX}-g++-posix
  ${PCBINSPECT_MINGW_PREFIX}-g++ REQUIRED)
find_program(CMAKE_RC_COMPILER NAMES ${PCBINSPECT_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${PCBINSPECT_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Programs built with this toolchain run under Wine when it is there.
find_program(PCBINSPECT_WINE NAMES wine64 wine
  PATHS /usr/lib/wine /usr/lib64/wine NO_CMAKE_FIND_ROOT_PATH)
if(PCBINSPECT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${PCBINSPECT_WINE})
endif()
