#!/usr/bin/env bash
# Builds the fuzz targets with clang (libFuzzer, AddressSanitizer, UndefinedBehaviorSanitizer) and
# fuzzes them for a bounded time, starting from their seed corpora: the receive side for two
# thirds of the time, the kepmsg tool's message bodies for the rest.
#
#   scripts/fuzz.sh [seconds]      default 60
#
# The receive target runs one process per core. New inputs go to build-fuzz/corpus/<target> (the
# seeds in fuzz/corpus/<target> stay as they are), logs to build-fuzz/logs/<target>; a crash,
# leak, hang or oversized allocation stops the run, leaves the input in build-fuzz/artifacts/ and
# makes the script fail. Replay one with:
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
# fuzz <target> <seconds> <max input bytes> <malloc limit MiB> <workers>
# With more than one worker, each is a process of its own sharing the corpus folder; the
# executions printed are their sum.
fuzz() {
  local target="$1" time="$2" workers="$5" logs="$dir/logs/$1" result=0
  mkdir -p "$dir/corpus/$target" "$logs"
  rm -f "$logs"/*.log
  local options=(-max_total_time="$time" -dict="$PWD/fuzz/$target.dict" -max_len="$3"
    -malloc_limit_mb="$4" -timeout=30 -print_final_stats=1
    -artifact_prefix="$PWD/$dir/artifacts/" "$PWD/$dir/corpus/$target"
    "$PWD/fuzz/corpus/$target")
  if [ "$workers" -gt 1 ]; then
    # libFuzzer writes worker N's output to fuzz-N.log in its working folder.
    (cd "$logs" && "$OLDPWD/$dir/fuzz/kep_fuzz_$target" -jobs="$workers" -workers="$workers" \
      "${options[@]}" > main.log 2>&1) || result=$?
  else
    "$dir/fuzz/kep_fuzz_$target" "${options[@]}" > "$logs/fuzz-0.log" 2>&1 || result=$?
  fi
  local executions=0 log count
  for log in "$logs"/fuzz-*.log; do
    tail -n 12 "$log"
    count="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)"
    executions=$(( executions + ${count:-0} ))
  done
  echo "fuzz $target: $executions executions in ${time} s by $workers process(es)" \
    "($(( executions / time )) per second), corpus $(ls "$dir/corpus/$target" | wc -l)" \
    "new inputs, exit status $result"
  [ "$result" -eq 0 ] || status="$result"
}
# -malloc_limit_mb: the library refuses type names over 64 KiB before allocating, the test
# message classes cap a body at 16 MiB, and the tool's raw body grows only with what arrives, so
# any larger single allocation is a finding.
receive_time=$(( seconds * 2 / 3 > 0 ? seconds * 2 / 3 : 1 ))
body_time=$(( seconds - receive_time > 0 ? seconds - receive_time : 1 ))
fuzz receive "$receive_time" 65536 32 "$(nproc)"
fuzz kepmsg_body "$body_time" 4096 32 1
exit "$status"
