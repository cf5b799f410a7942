#!/bin/bash
# Runs a test program with device emulators on virtual COM ports.
#
#   with-satemu.sh --satemu PATH [--wine] [--port N[:FAULT]]... -- PROGRAM ARGS...
#
# Each --port starts one satemu on COM<N> (a pseudo-terminal), with FAULT
# (a satemu fault, e.g. "noreply*0") applied from the start. The first
# port gets the control file that the test program finds in
# TORVEX_TEST_CONTROL. Natively the ports are links in a private
# TORVEX_PORT_DIR; with --wine they are dosdevices/comN links in the Wine
# prefix of TORVEX_WINEPREFIX, and PROGRAM is run through the build's
# wine-run wrapper (given as PROGRAM). Without --port no device is started.
set -euo pipefail
satemu=""; wine=0; ports=()
while [ $# -gt 0 ]; do
  case "$1" in
    --satemu) satemu=$2; shift 2 ;;
    --wine) wine=1; shift ;;
    --port) ports+=("$2"); shift 2 ;;
    --) shift; break ;;
    *) echo "with-satemu: unknown option $1" >&2; exit 2 ;;
  esac
done
if [ ${#ports[@]} -gt 0 ] && [ ! -x "$satemu" ]; then
  echo "SKIP: satemu not built ($satemu)"; exit 77
fi
source "$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)/tools/satemu-start.sh"
tmp=$(mktemp -d /tmp/torvex-e2e.XXXXXX)
pids=()
links=()
cleanup() {
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  for link in "${links[@]}"; do rm -f "$link"; done
  rm -rf "$tmp"
}
trap cleanup EXIT

if [ $wine = 1 ]; then
  prefix=${TORVEX_WINEPREFIX:?TORVEX_WINEPREFIX must name the Wine prefix}
  if [ ! -f "$prefix/.torvex-ready" ]; then "$1" cmd /c exit 0 >/dev/null 2>&1 || true; fi
  portdir="$prefix/dosdevices"
  export TORVEX_TEST_CONTROL="Z:$tmp/control"
  export TORVEX_TEST_TMP="Z:$tmp"
else
  portdir="$tmp/ports"
  mkdir -p "$portdir"
  export TORVEX_PORT_DIR="$portdir"
  export TORVEX_TEST_CONTROL="$tmp/control"
  export TORVEX_TEST_TMP="$tmp"
fi

first=1
for port in "${ports[@]}"; do
  n=${port%%:*}; fault=""
  [ "$port" != "$n" ] && fault=${port#*:}
  if [ $wine = 1 ]; then link="$portdir/com$n"; else link="$portdir/COM$n"; fi
  args=(--state "$tmp/state$n")
  [ $first = 1 ] && args+=(--control "$tmp/control")
  [ -n "$fault" ] && args+=(--fault "$fault")
  links+=("$link")
  started=0
  start_satemu "$satemu" "$tmp/satemu$n.log" "$link" "${args[@]}" || started=1
  pids+=("$emu_pid")
  [ $started = 0 ] || exit 1
  first=0
done

set +e
TORVEX_KEEP_COM_LINKS=1 "$@"
rc=$?
set -e
if [ $rc -ne 0 ] && [ $rc -ne 77 ]; then
  for f in "$tmp"/satemu*.log; do [ -s "$f" ] && { echo "--- $f"; tail -50 "$f"; }; done
fi
exit $rc
