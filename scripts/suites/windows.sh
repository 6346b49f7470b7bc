#!/usr/bin/env bash
# The Windows build: cross-compiles stbflash.exe and its unit tests with
# mingw-w64, checks that the executable needs no DLL beyond those Windows
# ships, then runs under wine the unit tests and the end-to-end cases
# against the simulated box, whose pseudo-terminals wine serves as COM ports.
# Without wine (outside CI, which installs it) the wine tests are skipped,
# and the suite says so.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
win=${WIN_BUILD_DIR:-build-win}
host=${WINHOST_BUILD_DIR:-build-winhost}

scripts/ensure-packages.sh build-essential cmake libgtest-dev googletest g++-mingw-w64-x86-64 \
  binutils-mingw-w64-x86-64
have_wine=yes
command -v wine >/dev/null && command -v wineserver >/dev/null || have_wine=no

export WINEPREFIX="$root/$win/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="  # no Mono or Gecko installer
if [ $have_wine = yes ]; then
  # One wineserver for the whole suite, started here with its output (and
  # that of the services it starts, which inherit it) away from the cases'
  # pipes; COM ports mapped while it runs take effect at once.
  wineserver -k 2>/dev/null || true
  wineserver -w 2>/dev/null || true
  mkdir -p "$win"
  if [ ! -e "$WINEPREFIX/system.reg" ]; then
    # A new prefix: wineboot leaves its own wineserver running for a while;
    # wait for it to go, or the persistent one below cannot start.
    wineboot -i </dev/null >/dev/null 2>&1
    wineserver -w 2>/dev/null || true
  fi
  wineserver -p </dev/null >/dev/null 2>&1
  wine cmd /c exit </dev/null >/dev/null 2>&1
  trap 'wineserver -k 2>/dev/null || true' EXIT
  BUILD_DIR=$win scripts/build-windows.sh --tests
else
  BUILD_DIR=$win scripts/build-windows.sh
fi

exe="$root/$win/app/stbflash.exe"
# Only DLLs of Windows itself may be imported: the C and C++ runtimes of GCC
# are linked in.
dlls=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p')
echo "stbflash.exe imports: $(echo $dlls)"
for dll in $dlls; do
  case "${dll,,}" in
    kernel32.dll | msvcrt.dll | user32.dll | advapi32.dll | ntdll.dll) ;;
    *) echo "stbflash.exe depends on $dll, which Windows does not ship"; exit 1 ;;
  esac
done

if [ $have_wine = no ]; then
  echo "SKIPPED: wine is not installed, so the Windows unit and end-to-end tests did not run"
  echo "         (install the Debian packages wine and wine64, or run .ci/run)"
  exit 0
fi

status=0
echo "-- unit tests of the cross build, under wine"
ctest --test-dir "$win" --output-on-failure -j 4 || status=1

echo "-- end-to-end cases against stbflash.exe, under wine"
cmake -S . -B "$host" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTB_WINDOWS_EXE="$exe" >/dev/null
cmake --build "$host" --target stb_windows_e2e -j 2
ctest --test-dir "$host" -L windows --output-on-failure -j 16 || status=1
exit $status
