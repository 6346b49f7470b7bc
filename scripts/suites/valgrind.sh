#!/usr/bin/env bash
# Runs one complete download and one failing download of the real stbflash
# under valgrind memcheck, against the simulated box. Any memory error or
# leak makes valgrind end the program with status 86, which fails the case.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/ensure-packages.sh build-essential cmake libgtest-dev valgrind
build=build-rel
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target stbflash stb_program_tests
logs="$build/valgrind"
rm -rf "$logs"
mkdir -p "$logs"
export STB_RUN_WRAPPER="valgrind --tool=memcheck --error-exitcode=86 --leak-check=full \
--show-leak-kinds=all --errors-for-leak-kinds=definite,indirect --track-origins=yes \
--log-file=$logs/%p.log"
"$build/tests/reliability/stb_program_tests" --gtest_filter='Runs.*'
for log in "$logs"/*.log; do
  grep -E 'ERROR SUMMARY|total heap usage|in use at exit' "$log" | sed "s|^==[0-9]*==|$(basename "$log" .log):|"
done
