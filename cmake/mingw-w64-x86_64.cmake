# Cross build for Windows x64 with mingw-w64 on Debian:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
# The -posix compilers are needed: the win32 thread model has no std::thread
# or std::mutex. Programs run under wine through CMAKE_CROSSCOMPILING_EMULATOR
# (set WINEPREFIX and WINEDEBUG=-all in the environment of ctest).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(LIGHTKIT_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${LIGHTKIT_MINGW_TRIPLE}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LIGHTKIT_MINGW_TRIPLE}-g++-posix)
set(CMAKE_RC_COMPILER ${LIGHTKIT_MINGW_TRIPLE}-windres)

set(CMAKE_FIND_ROOT_PATH /usr/${LIGHTKIT_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

find_program(LIGHTKIT_WINE NAMES wine wine64)
if(LIGHTKIT_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LIGHTKIT_WINE})
endif()

# Every program and DLL carries its own C and C++ runtime and winpthreads, so
# nothing needs the MinGW runtime DLLs next to it (or on WINEPATH).
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# List the GoogleTest cases when ctest runs rather than at build time, so
# building needs no wine prefix.
set(CMAKE_GTEST_DISCOVER_TESTS_DISCOVERY_MODE PRE_TEST)
