#!/usr/bin/env bash
# Two platforms, one wire: a Linux kepmsg serve answers a Windows kepmsg.exe ping and receives
# its send; a Windows kepmsg.exe serve (under Wine) receives a Linux send and answers a Linux
# ping. Every exit status must be 0 and the text must arrive intact.
#   scripts/interop-windows.sh PATH/TO/kepmsg.exe   (WINEPREFIX as for the suite)
set -euo pipefail
cd "$(dirname "$0")/.."
windows_kepmsg=$1
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target kepmsg >/dev/null
linux_kepmsg=build/tools/kepmsg
work=$(mktemp -d)
trap 'kill $(jobs -p) 2>/dev/null || true; rm -rf "$work"' EXIT
text="interop $(date +%s) both ways"

# Starts "$@ serve --port 0" in the background, its output in $work/$name; sets port.
serve() {
  local name=$1
  shift
  "$@" serve --port 0 >"$work/$name" 2>&1 &
  for _ in $(seq 300); do
    port=$(sed -n 's/^listening on .*:\([0-9]*\)\r\{0,1\}$/\1/p' "$work/$name")  # Windows ends lines with CR LF
    [ -n "$port" ] && return 0
    sleep 0.1
  done
  echo "interop: $name did not start listening" >&2
  return 1
}

# Waits until the serve output $1 holds the received text.
received() {
  for _ in $(seq 100); do
    grep -qF "text=\"$text\"" "$work/$1" && return 0
    sleep 0.1
  done
  echo "interop: $1 did not receive the text; it printed:" >&2
  cat "$work/$1" >&2
  return 1
}

serve linux-serve "$linux_kepmsg"
wine "$windows_kepmsg" send --port "$port" --text "$text" --timeout 10
wine "$windows_kepmsg" ping --port "$port" --count 20 --timeout 10
received linux-serve
echo "interop: Windows send and ping to Linux serve: ok"

serve windows-serve wine "$windows_kepmsg"
"$linux_kepmsg" send --port "$port" --text "$text" --timeout 10
"$linux_kepmsg" ping --port "$port" --count 20 --timeout 10
received windows-serve
echo "interop: Linux send and ping to Windows serve: ok"
