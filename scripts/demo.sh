#!/usr/bin/env bash
# Sets up a fresh Debian machine, builds the demo and the kepmsg tool (build/tools/kepmsg) and
# runs the demo: two processes that exchange typed messages. Exit status 0 only when every check
# of both processes held.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build --target kep_demo kepmsg
echo
exec ./build/demo/kep_demo
