# Cross-compiles stbflash for 64-bit Windows with Debian's mingw-w64
# (package g++-mingw-w64-x86-64). Usage:
#   cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(STB_MINGW_TRIPLET x86_64-w64-mingw32)
# The posix thread model gives the C++ runtime its full std::thread and
# std::mutex, which GoogleTest may use; the win32 model lacks them in GCC 12.
find_program(CMAKE_CXX_COMPILER NAMES ${STB_MINGW_TRIPLET}-g++-posix ${STB_MINGW_TRIPLET}-g++ REQUIRED)
find_program(CMAKE_C_COMPILER NAMES ${STB_MINGW_TRIPLET}-gcc-posix ${STB_MINGW_TRIPLET}-gcc)
find_program(CMAKE_RC_COMPILER NAMES ${STB_MINGW_TRIPLET}-windres)

# Look for headers and libraries only in the target's tree (and in the
# prefixes the caller adds, such as a cross-built GoogleTest); programs
# come from the build machine.
list(APPEND CMAKE_FIND_ROOT_PATH /usr/${STB_MINGW_TRIPLET})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# The executable must run on a bare Windows: the C and C++ runtimes of GCC
# and its thread library are linked in, leaving only system DLLs
# (KERNEL32, msvcrt) to import.
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Tests of the cross build run under wine when it is installed.
find_program(STB_WINE NAMES wine)
if(STB_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${STB_WINE})
endif()
