#!/bin/bash
# Installs what the builds and tests need on a Debian 12 machine (x86_64),
# as root or through sudo. Safe to run again: it installs only what is
# missing.
#   - native build: cmake, ninja, g++, zlib, GoogleTest, Google Benchmark
#   - Windows build: the i686 MinGW-w64 cross compiler, MinGW zlib (its
#     DLL ships beside torvex.dll), GoogleTest sources for cross-compiling
#   - Windows tests: 32-bit Wine (needs the i386 architecture), Xvfb
set -euo pipefail
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi

packages=(cmake ninja-build g++ gcc-multilib zlib1g-dev libgtest-dev googletest libbenchmark-dev
          g++-mingw-w64-i686 mingw-w64-i686-dev libz-mingw-w64-dev
          wine wine32:i386 xvfb xauth)

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  need_update=1
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
elif [ -n "${need_update:-}" ]; then
  $SUDO apt-get update -qq
fi
