#!/usr/bin/env bash
# Builds the library and the test suite with clang under AddressSanitizer + UndefinedBehavior-
# Sanitizer and under ThreadSanitizer, each in its own build directory, and runs ctest in each.
# Exit status 0 only when both runs are clean.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
jobs="${KEP_JOBS:-2}"

# The installed-package test reinstalls and rebuilds the example; the plain build covers it.
exclude='^kep_install_package$'

# allocator_may_return_null: an impossible allocation returns null, as the system allocator
# does, so the library's own out-of-memory path is what runs (and is tested) under a sanitizer.
export ASAN_OPTIONS="allocator_may_return_null=1:detect_leaks=1:strict_init_order=1:check_initialization_order=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export TSAN_OPTIONS="allocator_may_return_null=1:halt_on_error=1:second_deadlock_stack=1"

# Both runs always happen, so one report shows every finding.
failed=()
for sanitizer in address thread; do
  dir="build-sanitize-$sanitizer"
  start=$SECONDS
  echo "=== $sanitizer: configure and build in $dir"
  CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DKEP_SANITIZER="$sanitizer" -DKEP_BUILD_BENCH=OFF -DKEP_BUILD_FUZZ=OFF
  cmake --build "$dir" -j "$jobs"
  echo "=== $sanitizer: ctest"
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" -E "$exclude" || failed+=("$sanitizer")
  echo "=== $sanitizer: $((SECONDS - start)) s"
done
if ((${#failed[@]})); then
  echo "=== sanitizers: failures under ${failed[*]}"
  exit 1
fi
echo "=== sanitizers: clean"
