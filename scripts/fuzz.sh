#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) and
# fuzzes them for a bounded time, starting from their seed corpora: the receive side for two
# thirds of the time, the kepmsg tool's message bodies for the rest.
#
#   scripts/fuzz.sh [seconds]      default 60
#
# New inputs go to build-fuzz/corpus/<target> (the seeds in fuzz/corpus/<target> stay as they
# are); a crash, leak, hang or oversized allocation stops the run, leaves the input in
# build-fuzz/artifacts/ and makes the script fail. Replay one with:
# build-fuzz/fuzz/kep_fuzz_<target> <file>
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
seconds="${1:-60}"
dir=build-fuzz

CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DKEP_SANITIZER=address -DKEP_BUILD_FUZZ=ON -DKEP_BUILD_TESTS=OFF -DKEP_BUILD_TOOLS=OFF \
  -DKEP_BUILD_BENCH=OFF
cmake --build "$dir" --target kep_fuzz_receive kep_fuzz_kepmsg_body -j "${KEP_JOBS:-2}"

mkdir -p "$dir/artifacts"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
status=0
# fuzz <target> <seconds> <max input bytes> <malloc limit MiB>
fuzz() {
  local target="$1" time="$2" log="$dir/fuzz-$1.log" result=0
  mkdir -p "$dir/corpus/$target"
  "$dir/fuzz/kep_fuzz_$target" -max_total_time="$time" -dict="fuzz/$target.dict" \
    -max_len="$3" -malloc_limit_mb="$4" -timeout=30 -print_final_stats=1 \
    -artifact_prefix="$dir/artifacts/" "$dir/corpus/$target" "fuzz/corpus/$target" \
    > "$log" 2>&1 || result=$?
  tail -n 25 "$log"
  local executions
  executions="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
  echo "fuzz $target: ${executions:-unknown} executions in ${time} s" \
    "($(( ${executions:-0} / time )) per second), corpus $(ls "$dir/corpus/$target" | wc -l)" \
    "new inputs, exit status $result"
  [ "$result" -eq 0 ] || status="$result"
}
# -malloc_limit_mb: the library refuses type names over 64 KiB before allocating, the test
# message classes cap a body at 16 MiB, and the tool's raw body grows only with what arrives, so
# any larger single allocation is a finding.
receive_time=$(( seconds * 2 / 3 > 0 ? seconds * 2 / 3 : 1 ))
body_time=$(( seconds - receive_time > 0 ? seconds - receive_time : 1 ))
fuzz receive "$receive_time" 65536 32
fuzz kepmsg_body "$body_time" 4096 32
exit "$status"
