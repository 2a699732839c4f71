#!/usr/bin/env bash
# Installs the build and test dependencies that a fresh Debian machine lacks: the toolchains, the
# clang sanitizer and libFuzzer runtimes (libclang-rt-14-dev) and llvm-symbolizer (llvm), which
# turns sanitizer reports into source lines; OpenSSL (libssl-dev) for TLS, and the openssl command
# with which the tool's tests make their certificates.
# Further packages may be named as arguments (the Windows step adds its cross-compilers and Wine).
set -euo pipefail
packages=(cmake ninja-build g++ clang libclang-rt-14-dev llvm libgtest-dev libgmock-dev pkg-config
          libssl-dev openssl "$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo=sudo
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}"
fi
