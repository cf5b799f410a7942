#!/bin/bash
# Runs a test program with device emulators on virtual COM ports.
#
#   with-satemu.sh --satemu PATH [--wine] [--hub PATH [--till N] [--also-direct]]
#                  [--port N[:FAULT]]... -- PROGRAM ARGS...
#
# Each --port starts one satemu on COM<N> (a pseudo-terminal), with FAULT
# (a satemu fault, e.g. "noreply*0") applied from the start. The first
# port gets the control file that the test program finds in
# TORVEX_TEST_CONTROL. Natively the ports are links in a private
# TORVEX_PORT_DIR; with --wine they are dosdevices/comN links in the Wine
# prefix of TORVEX_WINEPREFIX, and PROGRAM is run through the build's
# wine-run wrapper (given as PROGRAM). Without --port no device is started.
#
# With --hub, the library runs in remote mode: the ports are always links
# in a private native folder, served by the real torvex-hub (PATH, native)
# on a free loopback port; the program gets TORVEX_HUB and TORVEX_TILL
# (default 5) and a TORVEX_PORT_DIR without ports, so that no call can
# reach the device except through the hub. One call through the hub's own
# API before the program starts makes the hub's library find its port, so
# that the probe does not take the first fault a test sets. With
# --also-direct (and --wine), each port is also a dosdevices/comN link in
# the Wine prefix, so that the program can reach the device directly as
# well as through the hub (the remote-mode benchmark).
set -euo pipefail
satemu=""; wine=0; ports=(); hub=""; till=5; also_direct=0
while [ $# -gt 0 ]; do
  case "$1" in
    --satemu) satemu=$2; shift 2 ;;
    --wine) wine=1; shift ;;
    --port) ports+=("$2"); shift 2 ;;
    --hub) hub=$2; shift 2 ;;
    --till) till=$2; shift 2 ;;
    --also-direct) also_direct=1; shift ;;
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

if [ -n "$hub" ] && [ ! -x "$hub" ]; then
  echo "SKIP: torvex-hub not built ($hub)"; exit 77
fi
if [ $wine = 1 ]; then
  prefix=${TORVEX_WINEPREFIX:?TORVEX_WINEPREFIX must name the Wine prefix}
  if [ ! -f "$prefix/.torvex-ready" ]; then "$1" cmd /c exit 0 >/dev/null 2>&1 || true; fi
  portdir="$prefix/dosdevices"
  [ -n "$hub" ] && { portdir="$tmp/ports"; mkdir -p "$portdir"; }
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
  if [ $wine = 1 ] && [ -z "$hub" ]; then link="$portdir/com$n"; else link="$portdir/COM$n"; fi
  args=(--state "$tmp/state$n")
  [ $first = 1 ] && args+=(--control "$tmp/control")
  [ -n "$fault" ] && args+=(--fault "$fault")
  links+=("$link")
  started=0
  start_satemu "$satemu" "$tmp/satemu$n.log" "$link" "${args[@]}" || started=1
  pids+=("$emu_pid")
  [ $started = 0 ] || exit 1
  if [ -n "$hub" ] && [ $wine = 1 ] && [ $also_direct = 1 ]; then
    links+=("$prefix/dosdevices/com$n")
    ln -sfn "$(readlink "$link")" "$prefix/dosdevices/com$n"
  fi
  first=0
done

if [ -n "$hub" ]; then
  TORVEX_PORT_DIR="$portdir" "$hub" --listen 127.0.0.1:0 --activation-code 12345678 \
    --state "$tmp/hub.state" --access-log "$tmp/hub-access.log" >"$tmp/hub.log" 2>&1 &
  pids+=("$!")
  hubport=""
  for _ in $(seq 200); do
    hubport=$(sed -n 's/^torvex-hub: listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$tmp/hub.log")
    [ -n "$hubport" ] && break
    kill -0 "${pids[-1]}" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$hubport" ] || { echo "with-satemu: torvex-hub did not start" >&2; cat "$tmp/hub.log" >&2; exit 1; }
  export TORVEX_HUB="http://127.0.0.1:$hubport" TORVEX_TILL="$till"
  export TORVEX_HUB_ACCESS_LOG="$tmp/hub-access.log"
  unset TORVEX_HUB_TOKEN
  mkdir -p "$tmp/noports"
  export TORVEX_PORT_DIR="$tmp/noports"
  if [ ${#ports[@]} -gt 0 ]; then
    curl -s --max-time 60 -d numero_caixa=999 "$TORVEX_HUB/hub/v1/consultarsat" >/dev/null ||
      { echo "with-satemu: torvex-hub did not answer" >&2; cat "$tmp/hub.log" >&2; exit 1; }
  fi
fi

set +e
TORVEX_KEEP_COM_LINKS=1 "$@"
rc=$?
set -e
if [ $rc -ne 0 ] && [ $rc -ne 77 ]; then
  for f in "$tmp"/satemu*.log "$tmp"/hub.log; do [ -s "$f" ] && { echo "--- $f"; tail -50 "$f"; }; done
fi
exit $rc
