#!/bin/bash
# torvex-hub.exe as a Windows service under Wine's own service manager:
# --install-service registers it, `sc start` runs it (the hub then serves a
# call on satemu's COM7 over loopback), `sc stop` ends it, `sc delete`
# removes it.
#
#   service-under-wine.sh WINE_RUN HUB_EXE SATEMU
set -uo pipefail
run=$1 hub=$2 satemu=$3
prefix=${TORVEX_WINEPREFIX:?}
command -v curl >/dev/null || { echo "curl missing"; exit 77; }
"$run" cmd /c exit 0 >/dev/null 2>&1  # the prefix exists and is tidied
work=$(mktemp -d)
port=$((20000 + $$ % 20000))
emu=
cleanup() {
  "$run" sc stop torvex-hub >/dev/null 2>&1 8>&-
  "$run" sc delete torvex-hub >/dev/null 2>&1 8>&-
  exec 8>&-  # the keeper reads the end of its pipe and ends
  for _ in $(seq 1 100); do
    [ -n "${keeper:-}" ] && kill -0 "$keeper" 2>/dev/null || break
    sleep 0.1
  done
  [ -n "$emu" ] && kill "$emu" 2>/dev/null && wait "$emu" 2>/dev/null
  rm -f "$prefix/dosdevices/com7" "$prefix"/drive_c/torvex-hub-test.*
  rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; exit 1; }
# Wine programs started while the keeper's pipe is open must not hold it.
wr() { "$run" "$@" 8>&-; }

rm -f "$prefix"/drive_c/torvex-hub-test.*
"$satemu" --link "$prefix/dosdevices/com7" --activated --seed 7 >"$work/satemu.log" 2>&1 &
emu=$!
# Wine ends its services with the last program of the session: one waits
# on a pipe until the test is over.
mkfifo "$work/keep"
"$run" cmd /c pause <"$work/keep" >/dev/null 2>&1 &
keeper=$!
exec 8>"$work/keep"
wr sc delete torvex-hub >/dev/null 2>&1  # a run that was killed before
wr "$hub" --install-service --listen "127.0.0.1:$port" --activation-code 12345678 \
  --state 'C:\torvex-hub-test.state' --access-log 'C:\torvex-hub-test.log' \
  || fail "--install-service"
wr sc start torvex-hub || fail "sc start"
up=
for _ in $(seq 1 300); do
  if curl -sf "http://127.0.0.1:$port/hub/v1/health" >"$work/health"; then up=1; break; fi
  sleep 0.1
done
[ -n "$up" ] || fail "the service did not answer on port $port"
reply=$(curl -s -X POST "http://127.0.0.1:$port/hub/v1/consultarsat" -d numero_caixa=2)
echo "$reply"
case "$reply" in
  *'"retorno":"101800|08000|'*) ;;  # till 2's first session number
  *) fail "consultarsat through the service: $reply" ;;
esac
wr sc stop torvex-hub || fail "sc stop"
for _ in $(seq 1 300); do
  curl -s "http://127.0.0.1:$port/hub/v1/health" >/dev/null || break
  sleep 0.1
done
curl -s "http://127.0.0.1:$port/hub/v1/health" >/dev/null && fail "still answering after sc stop"
# Started by hand instead of by the manager: refused with a message.
out=$(wr "$hub" --service --listen "127.0.0.1:$port" --activation-code 12345678 2>&1)
[ $? = 1 ] && [[ "$out" == *"not started by the service control manager"* ]] \
  || fail "--service outside the manager: $out"
wr sc delete torvex-hub || fail "sc delete"
echo "PASS"
