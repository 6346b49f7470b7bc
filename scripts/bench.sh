#!/usr/bin/env bash
# Benchmarks stbflash against the line, against a standard serial file
# transfer (ZMODEM and XMODEM-1K from lrzsz) and against the bare
# pseudo-terminal, and prints the table. Not part of the test suite.
#
#   scripts/bench.sh            the full run (about 10 minutes)
#   BENCH_LINE_RECORDS=1 BENCH_FAST_RECORDS=64 BENCH_ROUNDS=1 scripts/bench.sh
#                               a quick look (about 2 minutes)
#
# Builds in release mode into build-bench/ and writes everything it measured
# to build-bench/bench-results/<time>/ (raw lines, results.md, plot PNG).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/ensure-packages.sh build-essential cmake python3 lrzsz gnuplot-nox

# 64 KiB records in the emulated-line runs: 4 give 262,080 payload bytes,
# about 23 s at 11,520 B/s; the small-record images carry the same payload.
line_records=${BENCH_LINE_RECORDS:-4}
# Records of 64 KiB in the full-speed image: 1024 make 64 MiB.
fast_records=${BENCH_FAST_RECORDS:-1024}
rounds=${BENCH_ROUNDS:-3}

build=$root/build-bench
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DSTB_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target stbflash stbsim stbline line_accuracy line_bench host_overhead \
  bench_image_tool >/dev/null 2>"$build/bench-build.log" || { cat "$build/bench-build.log"; exit 1; }
bin=$build/bench
stbflash=$build/app/stbflash
stbsim=$build/sim/stbsim

out=$build/bench-results/$(date +%Y%m%d-%H%M%S)
work=$out/work
mkdir -p "$work"
results=$out/results.txt
run() { "$@" | tee -a "$results"; }
# lrzsz's XMODEM receiver now and then loses the sender's last
# acknowledgement on exit; such a run is kept as "retried" and made again.
run_twice() {
  local line
  line=$("$@") || true
  if [[ $line != *status=ok* ]]; then
    echo "retried $line" | tee -a "$results"
    line=$("$@") || true
  fi
  echo "$line" | tee -a "$results"
}

{
  echo "machine cpu=$(lscpu | sed -n 's/^Model name: *//p' | head -1 | tr ' ' '_')" \
    "cores=$(nproc) kernel=$(uname -r) load_start=$(cut -d' ' -f1 /proc/loadavg)"
} | tee "$results"

echo "== line emulator accuracy"
run "$bin/line_accuracy" || true  # an OFF line is reported in the table

echo "== emulated 115200 line: stbflash, ZMODEM, XMODEM-1K"
payload=$((line_records * 65520))
for size in 65536 1024 256; do
  length=$((size - 16))
  "$bin/bench_image" --image "$work/line-$size.dnl" --payload "$work/line-$size.bin" \
    --record-size "$size" --records $((payload / length))
done
limit=$((payload * 10 / 115200 * 2 + 30))  # twice the line time, then a hung transfer is given up
for latency in 0 1; do
  for size in 65536 1024 256; do
    length=$((size - 16))
    run "$bin/line_bench" --mode stbflash --latency-ms "$latency" --label "stbflash-$size" \
      --records $((payload / length)) --payload-length "$length" --payload-bytes "$payload" \
      --box "exec $stbsim --quiet {box}" --host "exec $stbflash $work/line-$size.dnl {host}" \
      --log "$work/stbflash-$size-$latency.log" --timeout-s "$limit" || true
  done
  file=$work/line-65536.bin
  rm -rf "$work/rz" && mkdir "$work/rz"
  run_twice "$bin/line_bench" --mode session --latency-ms "$latency" --label zmodem --payload-bytes "$payload" \
    --box "cd $work/rz && exec rz -b -y < {box} > {box}" --host "exec sz -b $file < {host} > {host}" \
    --check "cmp $file $work/rz/line-65536.bin" --log "$work/zmodem-$latency.log" --timeout-s "$limit" || true
  rm -rf "$work/rx" && mkdir "$work/rx"
  # XMODEM pads the last block: only the payload's own bytes are compared.
  run_twice "$bin/line_bench" --mode session --latency-ms "$latency" --label xmodem-1k --payload-bytes "$payload" \
    --box "cd $work/rx && exec rx -b -c out.bin < {box} > {box}" --host "exec sx -k -b $file < {host} > {host}" \
    --check "cmp -n $payload $file $work/rx/out.bin" --log "$work/xmodem-$latency.log" --timeout-s "$limit" || true
done

echo "== full speed: stbflash against the bare pseudo-terminal"
"$bin/bench_image" --image "$work/fast.dnl" --record-size 65536 --records "$fast_records"
# An image with no records costs the start, the handshake and the end of a run
# and nothing else: its time is taken off, leaving the transfer.
"$bin/bench_image" --image "$work/empty.dnl" --record-size 65536 --records 0
# Each round: the bare pseudo-terminal; stbflash against the simulated box
# (and the empty image); stbflash against a lean box that reads like the
# simulated one and does nothing else, which leaves the host's own cost.
fast_bytes=$(stat -c %s "$work/fast.dnl")
record_bytes=$((fast_records * 65536))
for round in $(seq "$rounds"); do
  run "$bin/host_overhead" raw --bytes "$record_bytes" --reader box || true
  run "$bin/host_overhead" download --stbflash "$stbflash" --image "$work/fast.dnl" --image-bytes "$fast_bytes" \
    --box "exec $stbsim --quiet" --log "$work/fast-$round.log" || true
  run "$bin/host_overhead" download --stbflash "$stbflash" --image "$work/empty.dnl" --image-bytes 14 \
    --box "exec $stbsim --quiet" --log "$work/empty-$round.log" || true
  run "$bin/host_overhead" lean --stbflash "$stbflash" --image "$work/fast.dnl" --log "$work/lean-$round.log" || true
done
run "$bin/host_overhead" raw --bytes "$record_bytes" --reader drain || true
echo "machine load_end=$(cut -d' ' -f1 /proc/loadavg)" | tee -a "$results"

python3 "$root/bench/report.py" "$results" "$out"
