#!/bin/bash
# The hub's demo: one SAT device shared by three tills at once.
#
#   tools/demo-hub.sh [--no-build]
#
# Builds the native preset, starts satemu on a pseudo-terminal (COM7 in a
# private TORVEX_PORT_DIR), torvex-hub on 127.0.0.1 with the device's
# activation code, and three tills (curl) calling at the same moment: till 1
# sells, till 2 and till 3 query. Each till's replies are printed under its
# name, with the session number the hub took from that till's own range;
# the hub's queue is shown from /hub/v1/health while they wait, and its
# metrics and access log at the end. Exit status non-zero when a call failed.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=1
for arg in "$@"; do
  case "$arg" in
    --no-build) build=0 ;;
    -h|--help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo-hub.sh: unknown argument $arg" >&2; exit 2 ;;
  esac
done
if [ "$build" = 1 ]; then
  "$root/tools/setup.sh" native
  command -v curl >/dev/null || { apt-get install -y -qq curl >/dev/null; }
  (cd "$root" && cmake --preset native >/dev/null && cmake --build --preset native -j2 --target torvex-hub satemu)
fi
bin=${TORVEX_NATIVE_BUILD:-$root/build/native}/bin
work=$(mktemp -d "${TMPDIR:-/tmp}/torvex-demo-hub.XXXXXX")
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  rm -rf "$work"
}
trap cleanup EXIT

source "$root/tools/satemu-start.sh"
echo "==> satemu on $work/ports/COM7 (activated; each sale answered 400 ms late, as a busy device)"
start_satemu "$bin/satemu" "$work/satemu.log" "$work/ports/COM7" --state "$work/emu" --activated \
  --fault 'delay:400@EnviarDadosVenda*0'
pids+=("$emu_pid")

echo "==> torvex-hub on 127.0.0.1"
TORVEX_PORT_DIR=$work/ports "$bin/torvex-hub" --listen 127.0.0.1:0 --activation-code 12345678 \
  --state "$work/hub.state" --access-log "$work/access.log" 2>"$work/hub.err" &
pids+=("$!")
port=
for _ in $(seq 100); do
  port=$(sed -n 's/.*listening on .*:\([0-9]*\)$/\1/p' "$work/hub.err")
  [ -n "$port" ] && break
  sleep 0.1
done
[ -n "$port" ] || { cat "$work/hub.err" >&2; exit 1; }
hub=http://127.0.0.1:$port
echo "    $hub"

# Links the POS signature once (the sample sale carries it).
signac=$(sed -n 's:.*<signAC>\(.*\)</signAC>.*:\1:p' "$root/tools/samples/venda.xml")
curl -s -d numero_caixa=1 -d sequencia_cnpj=1671611400017211222333000181 \
  --data-urlencode "assinatura_ac=$signac" "$hub/hub/v1/associarassinatura" >/dev/null

till() {  # till NUMBER FUNCTION [curl args...]
  local n=$1 fn=$2; shift 2
  curl -s -D "$work/h.$n.$fn" -d "numero_caixa=$n" "$@" "$hub/hub/v1/$fn" >"$work/r.$n.$fn"
}
(
  till 1 enviardadosvenda --data-urlencode "dados_venda@$root/tools/samples/venda.xml"
  till 1 consultarultimasessaofiscal
) &
a=$!
( till 2 consultarsat; till 2 consultarstatusoperacional; till 2 consultarsat ) &
b=$!
( till 3 consultarsat; till 3 extrairlogs; till 3 consultarsat ) &
c=$!
echo
echo "==> three tills calling at once; the queue as the hub sees it:"
for _ in 1 2 3 4 5 6; do
  curl -s "$hub/hub/v1/health" | sed 's/^/    /'; echo
  sleep 0.15
done
failed=0
wait $a || failed=1; wait $b || failed=1; wait $c || failed=1

for n in 1 2 3; do
  echo
  echo "==> till $n (sessions $((100000 + 900 * n))..$((100000 + 900 * n + 899)))"
  for f in "$work"/r.$n.*; do
    fn=${f##*/r.$n.}
    seq=$(tr -d '\r' <"$work/h.$n.$fn" | sed -n 's/^Hub-Sequencia: //p')
    printf '    #%-3s %-28s %s\n' "$seq" "$fn" "$(cut -c1-110 "$f")"
    grep -q '"retorno"' "$f" || failed=1
  done
done
echo
echo "==> metrics (excerpt)"
curl -s "$hub/metrics" | grep -E '^torvex_hub_(calls_total|queue_wait_seconds_(sum|count)|device_seconds_(sum|count))' | sed 's/^/    /'
echo
echo "==> access log (one JSON line per request; last 3)"
tail -3 "$work/access.log" | cut -c1-200 | sed 's/^/    /'
[ $failed = 0 ] && echo && echo "demo-hub: every till got its own replies"
exit $failed
