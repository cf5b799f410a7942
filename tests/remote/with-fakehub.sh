#!/bin/bash
# Runs a test program with the scripted hub (fakehub) on a loopback port:
#
#   with-fakehub.sh --fakehub PATH [--wine] -- PROGRAM ARGS...
#
# Exports TORVEX_TEST_HUB (its address) and TORVEX_TEST_HUB_LOG (its record
# of the last request; a Z: path for a program under Wine).
set -euo pipefail
fakehub=""; wine=0
while [ $# -gt 0 ]; do
  case "$1" in
    --fakehub) fakehub=$2; shift 2 ;;
    --wine) wine=1; shift ;;
    --) shift; break ;;
    *) echo "with-fakehub: unknown option $1" >&2; exit 2 ;;
  esac
done
[ -x "$fakehub" ] || { echo "SKIP: fakehub not built ($fakehub)"; exit 77; }
tmp=$(mktemp -d /tmp/torvex-fakehub.XXXXXX)
pid=""
cleanup() {
  [ -n "$pid" ] && { kill -TERM "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; }
  rm -rf "$tmp"
}
trap cleanup EXIT
"$fakehub" --port-file "$tmp/port" --log "$tmp/request" &
pid=$!
for _ in $(seq 1 200); do [ -s "$tmp/port" ] && break; sleep 0.05; done
[ -s "$tmp/port" ] || { echo "with-fakehub: the hub did not start" >&2; exit 1; }
export TORVEX_TEST_HUB="http://127.0.0.1:$(cat "$tmp/port")"
if [ $wine = 1 ]; then export TORVEX_TEST_HUB_LOG="Z:$tmp/request"; else export TORVEX_TEST_HUB_LOG="$tmp/request"; fi
set +e
"$@"
rc=$?
exit $rc
