#!/bin/bash
# Runs the remote-mode benchmark of torvex.dll (remote_bench.exe) under Wine:
# one satemu on a pseudo-terminal, linked as COM7 of the build's Wine prefix
# for the direct calls and served by the native torvex-hub on 127.0.0.1 for
# the remote ones (tests/sat/with-satemu.sh --hub --also-direct).
#
#   bench/remote/run-wine.sh [--build DIR] [--native DIR] [CALLS]
#
# DIR: the Windows build tree (default build/win64) and the native one whose
# satemu and torvex-hub serve it (default build/native). CALLS: calls of
# each kind after the warm-up (default 500).
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=$src/build/win64
native=$src/build/native
calls=500
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --native) native=$2; shift 2 ;;
    -*) echo "run-wine.sh: unknown option $1" >&2; exit 2 ;;
    *) calls=$1; shift ;;
  esac
done
build=$(realpath -m "$build")
native=$(realpath -m "$native")
exe=$build/bin/remote_bench.exe
[ -f "$exe" ] || { echo "SKIP: $exe not built"; exit 77; }
export TORVEX_WINEPREFIX=${TORVEX_WINEPREFIX:-$build/wineprefix}
exec "$src/tests/sat/with-satemu.sh" --satemu "$native/bin/satemu" --wine \
  --hub "$native/bin/torvex-hub" --also-direct --port 7 -- "$build/wine-run" "$exe" "$calls"
