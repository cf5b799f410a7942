#!/bin/bash
# Runs the remote-mode benchmark of torvex.dll (remote_bench.exe) under Wine:
# one satemu on a pseudo-terminal, linked as COM7 of the build's Wine prefix
# for the direct calls and served by a torvex-hub on 127.0.0.1 for the
# remote ones: by default the native hub of the native build
# (tests/sat/with-satemu.sh --hub --also-direct); with --wine-hub the
# build's own torvex-hub.exe under Wine, with the build's torvex.dll, in
# the same prefix (as on a store's Windows machine).
#
#   bench/remote/run-wine.sh [--build DIR] [--native DIR] [--wine-hub] [CALLS]
#
# DIR: the Windows build tree (default build/win64) and the native one whose
# satemu (and torvex-hub) serve it (default build/native). CALLS: calls of
# each kind after the warm-up (default 500).
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=$src/build/win64
native=$src/build/native
calls=500
winehub=0
while [ $# -gt 0 ]; do
  case "$1" in
    --build) build=$2; shift 2 ;;
    --native) native=$2; shift 2 ;;
    --wine-hub) winehub=1; shift ;;
    -*) echo "run-wine.sh: unknown option $1" >&2; exit 2 ;;
    *) calls=$1; shift ;;
  esac
done
build=$(realpath -m "$build")
native=$(realpath -m "$native")
exe=$build/bin/remote_bench.exe
[ -f "$exe" ] || { echo "SKIP: $exe not built"; exit 77; }
export TORVEX_WINEPREFIX=${TORVEX_WINEPREFIX:-$build/wineprefix}
if [ $winehub = 0 ]; then
  exec "$src/tests/sat/with-satemu.sh" --satemu "$native/bin/satemu" --wine \
    --hub "$native/bin/torvex-hub" --also-direct --port 7 -- "$build/wine-run" "$exe" "$calls"
fi

hubexe=$build/bin/torvex-hub.exe
[ -f "$hubexe" ] || { echo "SKIP: $hubexe not built"; exit 77; }
source "$src/tools/satemu-start.sh"
run=$build/wine-run
prefix=$TORVEX_WINEPREFIX
"$run" cmd /c exit 0 >/dev/null 2>&1  # the prefix exists and is tidied
tmp=$(mktemp -d /tmp/torvex-remote-bench.XXXXXX)
emu=""; hubrun=""
cleanup() {
  # The hub is a program of this build's own prefix: ended there by name.
  [ -n "$hubrun" ] && { "$run" taskkill /f /im torvex-hub.exe >/dev/null 2>&1 || true; wait "$hubrun" 2>/dev/null || true; }
  [ -n "$emu" ] && { kill "$emu" 2>/dev/null || true; wait "$emu" 2>/dev/null || true; }
  rm -f "$prefix/dosdevices/com7"
  rm -rf "$tmp"
}
trap cleanup EXIT
start_satemu "$native/bin/satemu" "$tmp/satemu.log" "$prefix/dosdevices/com7" \
  --state "$tmp/state"
emu=$emu_pid
: >"$tmp/hub.log"
TORVEX_KEEP_COM_LINKS=1 TORVEX_WINE_LOG="$tmp/hub.log" "$run" "$hubexe" --listen 127.0.0.1:0 \
  --activation-code 12345678 --state "Z:$tmp/hub.state" --access-log "Z:$tmp/hub-access.log" \
  >/dev/null &
hubrun=$!
port=""
for _ in $(seq 300); do
  port=$(sed -n 's/^torvex-hub: listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$tmp/hub.log" 2>/dev/null)
  [ -n "$port" ] && break
  kill -0 "$hubrun" 2>/dev/null || break
  sleep 0.1
done
[ -n "$port" ] || { echo "run-wine.sh: torvex-hub.exe did not start" >&2; cat "$tmp/hub.log" >&2; exit 1; }
# One call through the hub's own API: its library finds the port.
curl -s --max-time 60 -d numero_caixa=999 "http://127.0.0.1:$port/hub/v1/consultarsat" >/dev/null
TORVEX_KEEP_COM_LINKS=1 TORVEX_HUB="http://127.0.0.1:$port" TORVEX_TILL=5 \
  TORVEX_TEST_TMP="Z:$tmp" TORVEX_HUB_ACCESS_LOG="$tmp/hub-access.log" "$run" "$exe" "$calls"
