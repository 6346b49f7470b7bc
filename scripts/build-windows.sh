#!/usr/bin/env bash
# Cross-compiles the Windows build of stbflash with mingw-w64:
#   scripts/build-windows.sh            -> build-win/app/stbflash.exe
#   scripts/build-windows.sh --tests    -> also the unit tests, against a
#                                          GoogleTest cross-built from the
#                                          sources Debian ships (needs wine)
# BUILD_DIR overrides the build folder (default build-win).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=${BUILD_DIR:-build-win}
case "$build" in /*) ;; *) build="$root/$build" ;; esac
tests=OFF
[ "${1:-}" = "--tests" ] && tests=ON

packages=(cmake g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64)
[ "$tests" = ON ] && packages+=(googletest)
scripts/ensure-packages.sh "${packages[@]}"

toolchain="$root/cmake/mingw-w64-x86_64.cmake"
jobs=$(( $(nproc) < 2 ? $(nproc) : 2 ))
extra=()
if [ "$tests" = ON ]; then
  # GoogleTest has no mingw package: build the system's sources once.
  deps="$build/deps"
  if [ ! -e "$deps/lib/cmake/GTest/GTestConfig.cmake" ]; then
    cmake -S /usr/src/googletest -B "$build/googletest" -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX="$deps" -DBUILD_GMOCK=OFF \
      -Dgtest_disable_pthreads=ON >/dev/null
    cmake --build "$build/googletest" -j "$jobs" >/dev/null
    cmake --install "$build/googletest" >/dev/null
  fi
  extra+=(-DGTest_DIR="$deps/lib/cmake/GTest")
  # The build lists the cases of each test program by running it under wine.
  export WINEPREFIX=${WINEPREFIX:-$build/wineprefix} WINEDEBUG=${WINEDEBUG:--all}
  export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
fi

cmake -S . -B "$build" -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSTB_BUILD_TESTS="$tests" "${extra[@]}" >/dev/null
cmake --build "$build" -j "$jobs"
echo "built $build/app/stbflash.exe"
