#!/usr/bin/env bash
# Builds stbflash and its tools and runs every test suite.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-packages.sh build-essential cmake libgtest-dev python3
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)"
# The end-to-end cases spend most of their time waiting on real 10-second
# time-outs, so they run many at a time.
ctest --test-dir "$build" --output-on-failure -j 16

# Further suites (Windows build under wine, fuzzing, sanitizers, packages).
status=0
for suite in scripts/suites/*.sh; do
  [ -e "$suite" ] || continue
  echo "== suite $(basename "$suite" .sh)"
  if ! bash "$suite"; then
    echo "== suite $(basename "$suite" .sh) FAILED"
    status=1
  fi
done
exit $status
