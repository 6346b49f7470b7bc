#!/usr/bin/env bash
# Builds the whole project and its test suites with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test. A sanitizer report ends the
# process with status 86, which no part of stbflash uses, so no test can
# mistake one for an ordinary failure of a download.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/ensure-packages.sh build-essential cmake libgtest-dev python3
build=build-asan
flags="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
cmake --build "$build" -j "$(nproc)"
export ASAN_OPTIONS=exitcode=86:detect_leaks=1:abort_on_error=0:strict_string_checks=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=exitcode=86:print_stacktrace=1:halt_on_error=1
ctest --test-dir "$build" --output-on-failure -j 16
