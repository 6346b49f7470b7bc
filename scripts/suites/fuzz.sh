#!/usr/bin/env bash
# Fuzzes the image reader and the whole host conversation with libFuzzer,
# each for a bounded time (FUZZ_SECONDS, 60 by default), starting from the
# seed corpus in fuzz/corpus. Any crash, sanitizer report, time-out or
# memory blow-up fails the suite; the input that caused it is kept in
# build-fuzz/findings.
set -euo pipefail
cd "$(dirname "$0")/../.."
scripts/ensure-packages.sh clang libclang-rt-14-dev cmake
seconds=${FUZZ_SECONDS:-60}
build=build-fuzz
CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSTB_FUZZ=ON -DSTB_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target fuzz_image_reader fuzz_conversation

status=0
for target in image_reader conversation; do
  work="$build/corpus/$target"
  findings="$build/findings/$target"
  mkdir -p "$work" "$findings"
  echo "-- fuzzing $target for ${seconds}s"
  if ! "$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$findings/" "$work" "fuzz/corpus/$target" \
      >"$build/fuzz_$target.log" 2>&1; then
    echo "-- $target: FINDING (input kept in $findings)"
    tail -n 60 "$build/fuzz_$target.log"
    status=1
    continue
  fi
  grep -E '^Done [0-9]+ runs|stat::number_of_executed_units|stat::peak_rss_mb' "$build/fuzz_$target.log" || true
done
exit $status
