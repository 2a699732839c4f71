# Cross-build for 64-bit Windows with MinGW-w64's posix-threads compilers (std::thread and
# std::mutex over winpthreads). Programs run under Wine through ctest's emulator.
#   cmake -S . -B build-windows -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(KEP_MINGW_PREFIX x86_64-w64-mingw32)

set(CMAKE_C_COMPILER ${KEP_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${KEP_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER ${KEP_MINGW_PREFIX}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${KEP_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# ctest runs the programs under Wine, quietly.
find_program(KEP_WINE wine REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${KEP_WINE})
set(KEP_WITH_TLS OFF CACHE BOOL "No OpenSSL for MinGW-w64 here")
