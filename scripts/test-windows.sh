#!/usr/bin/env bash
# Cross-builds the Windows DLLs, kepmsg.exe and the test suite with MinGW-w64 into
# build-windows/, runs the suite under Wine, installs the Windows tree and checks that a Linux
# kepmsg and the installed kepmsg.exe (under Wine) talk to each other in both directions.
set -euo pipefail
cd "$(dirname "$0")/.."
./scripts/setup.sh g++-mingw-w64-x86-64-posix wine wine64 googletest

build=build-windows
# ccache, where installed, makes a build from scratch cheap.
launcher=()
if command -v ccache >/dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake "${launcher[@]}"
cmake --build "$build"

# One Wine prefix per build folder, and one server kept alive for the whole run: every program
# start then costs a fraction of a second instead of a prefix check.
# No Mono or Gecko: the programs are console programs, and their installers would ask on screen.
export WINEPREFIX="$PWD/$build/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# A new prefix is finished (wineboot and the processes it starts have ended) before any test
# program starts in it.
if [ ! -d "$WINEPREFIX" ]; then
  wineboot -i >/dev/null 2>&1
  wineserver -w
fi
wineserver -p 300 2>/dev/null || true  # a server already running for the prefix serves as well
# Wine's helper processes (winedevice.exe and the like) would otherwise outlive the run by
# hours, each taking a little CPU: the server ends them with itself.
trap 'wineserver -k 2>/dev/null || true' EXIT
# Wine's helper processes start with the first program; started here, they do not hold ctest's
# output pipes open.
wine "$build/bin/kepmsg.exe" --help >/dev/null

status=0
ctest --test-dir "$build" --output-on-failure -j2 --timeout 120 || status=1

# The demo as a user starts it, from its folder: its second process comes from CreateProcess.
if ! wine "$build/bin/kep_demo.exe" >"$build/kep_demo.log" 2>&1; then
  cat "$build/kep_demo.log"
  status=1
fi

# The package: install and zip it; the interop check runs the installed kepmsg.exe.
rm -rf "$build/install"
cmake --install "$build" --prefix "$build/install" >/dev/null
(cd "$build" && cpack -G ZIP >/dev/null)
./scripts/interop-windows.sh "$build/install/bin/kepmsg.exe" || status=1
exit $status
