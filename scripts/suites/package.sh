#!/usr/bin/env bash
# Builds the Debian package, installs it the way a user does
# (apt install ./file.deb), runs the programs from PATH, checks the manual
# pages, then removes the package again.
# BUILD_DIR names the build folder (default build, as scripts/test.sh).
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${BUILD_DIR:-build}

sudo=""
if [ "$(id -u)" -ne 0 ]; then
  if sudo -n true 2>/dev/null; then
    sudo="sudo -n"
  else
    echo "package: skipped, installing a package needs root or sudo"
    exit 0
  fi
fi
if dpkg-query -W -f='${Status}' stbflash 2>/dev/null | grep -q 'install ok installed'; then
  echo "package: skipped, a stbflash package is installed already and stays as it is"
  exit 0
fi

fail() {
  echo "package: FAIL: $*" >&2
  exit 1
}

scripts/ensure-packages.sh build-essential cmake dpkg-dev
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
arch=$(dpkg --print-architecture)

# apt reads a local package as its unprivileged user: give it a folder it can
# read, away from the build tree.
work=$(mktemp -d)
chmod 755 "$work"
installed=""
cleanup() {
  if [ -n "$installed" ]; then
    DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -qq stbflash >/dev/null 2>&1 || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

(cd "$build" && cpack -G DEB -B "$work/cpack") >"$work/cpack.log" 2>&1 ||
  { cat "$work/cpack.log"; fail "cpack did not build the package"; }
deb="$work/cpack/stbflash_${version}_${arch}.deb"
[ -f "$deb" ] || fail "no $deb"
cp "$deb" "$work/"
deb="$work/$(basename "$deb")"
chmod 644 "$deb"

contents=$(dpkg-deb -c "$deb")
pages=(stbflash dnlinfo)
[ -x "$build/sim/stbsim" ] && pages+=(stbsim)
for program in "${pages[@]}"; do
  grep -q "\./usr/bin/$program\$" <<<"$contents" || fail "the package lacks /usr/bin/$program"
  grep -q "\./usr/share/man/man1/$program\.1\.gz\$" <<<"$contents" ||
    fail "the package lacks the manual page $program(1)"
done
dpkg-deb -f "$deb" Description | grep -q dialout || fail "the description lacks the dialout note"

installed=yes
(cd "$work" && DEBIAN_FRONTEND=noninteractive $sudo apt install -y "./$(basename "$deb")") \
  >"$work/apt.log" 2>&1 || { cat "$work/apt.log"; fail "apt could not install $deb"; }

# From PATH, as a user runs them.
[ "$(command -v stbflash)" = /usr/bin/stbflash ] || fail "stbflash is not /usr/bin/stbflash"
set +e
out=$(cd "$work" && stbflash 2>"$work/err")
status=$?
set -e
[ $status -eq 1 ] || fail "stbflash without arguments ended with status $status, not 1"
grep -q 'Downloading the firmware to the target stb via RS-232C' <<<"$out" || fail "no banner: $out"
grep -q 'Usage : stbflash <filename> <com port>' "$work/err" || fail "no usage text"

[ "$(dnlinfo --version)" = "dnlinfo $version" ] || fail "dnlinfo --version: $(dnlinfo --version)"
# A one-record image, inspected from PATH.
printf '\x55\xaa\0\0\0\0\0\0\0\x01\0\0\0\0ZZ\0\0\0\0\0\0\0\0\0\x05hello\0\0\0\0' >"$work/one.dnl"
report=$(dnlinfo "$work/one.dnl") || fail "dnlinfo does not find the image sound: $report"
grep -q '^verdict  stbflash sends the whole image, 1 record$' <<<"$report" ||
  fail "dnlinfo's verdict is missing: $report"
if [[ " ${pages[*]} " == *" stbsim "* ]]; then
  sim_version=$(stbsim --version) || fail "stbsim --version failed"
  grep -q "$version" <<<"$sim_version" || fail "stbsim --version lacks $version: $sim_version"
fi

# The manual pages, unless this machine's dpkg is told to leave them out.
if ! grep -qs '^path-exclude.*/usr/share/man' /etc/dpkg/dpkg.cfg.d/*; then
  for program in "${pages[@]}"; do
    page=/usr/share/man/man1/$program.1.gz
    [ -f "$page" ] || fail "$page is not installed"
    text=$(zcat "$page")
    grep -q "$version" <<<"$text" || fail "$page does not show the version $version"
    if command -v man >/dev/null; then
      man -w "$program" >/dev/null 2>&1 || fail "man does not find $program"
    fi
  done
fi
[ -f /usr/share/doc/stbflash/README.Debian ] || fail "README.Debian is not installed"

DEBIAN_FRONTEND=noninteractive $sudo apt-get remove -y -qq stbflash >/dev/null ||
  fail "apt could not remove the package"
installed=""
[ ! -e /usr/bin/stbflash ] && [ ! -e /usr/bin/dnlinfo ] || fail "the programs outlive the package"
echo "package: stbflash_${version}_${arch}.deb builds, installs, runs from PATH and is removed"

# The Windows zip, where the cross-compiler is at hand: stbflash.exe,
# dnlinfo.exe and the texts a user reads first.
if command -v x86_64-w64-mingw32-g++ >/dev/null; then
  win=${WIN_BUILD_DIR:-build-win}
  BUILD_DIR=$win scripts/build-windows.sh >"$work/win.log" 2>&1 ||
    { tail -20 "$work/win.log"; fail "the Windows build failed"; }
  (cd "$win" && cpack -G ZIP -B "$work/zip") >"$work/zip.log" 2>&1 ||
    { cat "$work/zip.log"; fail "cpack did not build the zip"; }
  zip="$work/zip/stbflash-${version}-win64.zip"
  [ -f "$zip" ] || fail "no $zip"
  listing=$(python3 -c 'import sys, zipfile; print("\n".join(zipfile.ZipFile(sys.argv[1]).namelist()))' "$zip")
  for member in bin/stbflash.exe bin/dnlinfo.exe README.md; do
    grep -qx "stbflash-${version}-win64/$member" <<<"$listing" || fail "the zip lacks $member"
  done
  echo "package: stbflash-${version}-win64.zip holds stbflash.exe, dnlinfo.exe and the README"
fi
