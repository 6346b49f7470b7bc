#!/usr/bin/env bash
# A complete download against the simulated box, shown as a user sees it.
# With a real box attached, run instead:  build/app/stbflash file.dnl /dev/ttyUSB0
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/ensure-packages.sh build-essential cmake libgtest-dev python3 >/dev/null
build=${BUILD_DIR:-build}
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$build" -j "$(nproc)" --target stbflash stbsim sample_image >/dev/null

log=$(mktemp)
trap 'kill "$sim" 2>/dev/null || true; rm -f "$log"' EXIT
# The simulated box makes a pseudo-terminal and says which one.
"$build/sim/stbsim" >"$log" 2>&1 &
sim=$!
port=""
for _ in $(seq 100); do
  port=$(sed -n 's/^stbsim: box ready on \(.*\)$/\1/p' "$log")
  [ -n "$port" ] && break
  sleep 0.05
done
[ -n "$port" ] || { cat "$log"; echo "the simulated box did not start" >&2; exit 1; }

echo "\$ stbflash $build/sample.dnl $port"
status=0
"$build/app/stbflash" "$build/sample.dnl" "$port" || status=$?
echo
echo "(exit status $status)"
wait "$sim" 2>/dev/null || true
echo "--- what the simulated box saw:"
cat "$log"
exit $status
