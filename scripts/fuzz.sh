#!/usr/bin/env bash
# Builds the receive-side fuzz target with clang (libFuzzer, AddressSanitizer, UndefinedBehavior-
# Sanitizer) and fuzzes it for a bounded time, starting from the seed corpus.
#
#   scripts/fuzz.sh [seconds]      default 60
#
# New inputs go to build-fuzz/corpus (the seeds in fuzz/corpus/receive stay as they are); a crash,
# leak, hang or oversized allocation stops the run, leaves the input in build-fuzz/artifacts/ and
# makes the script fail. Replay one with: build-fuzz/fuzz/kep_fuzz_receive <file>
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
seconds="${1:-60}"
dir=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKEP_SANITIZER=address -DKEP_BUILD_FUZZ=ON -DKEP_BUILD_TESTS=OFF -DKEP_BUILD_TOOLS=OFF \
  -DKEP_BUILD_BENCH=OFF
cmake --build "$dir" --target kep_fuzz_receive -j "${KEP_JOBS:-2}"

mkdir -p "$dir/corpus" "$dir/artifacts"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
# -malloc_limit_mb: the library refuses type names over 64 KiB before allocating, and the test
# message classes cap a body at 16 MiB, so any larger single allocation is a finding.
status=0
"$dir/fuzz/kep_fuzz_receive" -max_total_time="$seconds" -dict=fuzz/receive.dict \
  -max_len=65536 -malloc_limit_mb=32 -timeout=30 -print_final_stats=1 \
  -artifact_prefix="$dir/artifacts/" "$dir/corpus" fuzz/corpus/receive \
  > "$dir/fuzz.log" 2>&1 || status=$?
tail -n 25 "$dir/fuzz.log"
executions="$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/fuzz.log" | tail -n 1)"
echo "fuzz: ${executions:-unknown} executions in ${seconds} s, corpus $(ls "$dir/corpus" | wc -l) new inputs, exit status $status"
exit "$status"
