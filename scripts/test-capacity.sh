#!/usr/bin/env bash
# Builds the robustness tests with the readiness wait's capacity raised to 1024 and runs the
# connection-scale tests, which hold 1000 connections at once (skipped at the default 64).
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
dir=build-fd1024
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEP_FD_SETSIZE=1024 \
  -DKEP_BUILD_TOOLS=OFF
cmake --build "$dir" -j "${KEP_JOBS:-2}" --target kep_test_robustness
"$dir/tests/kep_test_robustness" --gtest_filter='ConnectionScaleTest.*'
