#!/bin/bash
# Runs a till program twice at once, as tills 1 and 2, in remote mode
# against the hub that with-satemu.sh --hub started (TORVEX_HUB):
#
#   two-tills.sh [--wine] -- PROGRAM ARGS...
#
# The device is activated through the hub's own API first. Each till gets
# TORVEX_TILL and the sale sample (TORVEX_TEST_SALE); the run fails when
# either till fails. The hub's access log then shows how the two tills'
# sales met on the device.
set -euo pipefail
wine=0
while [ $# -gt 0 ]; do
  case "$1" in
    --wine) wine=1; shift ;;
    --) shift; break ;;
    *) echo "two-tills: unknown option $1" >&2; exit 2 ;;
  esac
done
: "${TORVEX_HUB:?run through with-satemu.sh --hub}"
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
sale="$here/../../tools/samples/venda.xml"
tmp=${TORVEX_TEST_TMP#Z:}
if [ $wine = 1 ]; then export TORVEX_TEST_SALE="Z:$sale"; else export TORVEX_TEST_SALE="$sale"; fi

curl -s --max-time 60 -d "numero_caixa=999&tipo_certificado=1&cnpj=11222333000181&codigo_uf=35" \
  "$TORVEX_HUB/hub/v1/ativarsat" >"$tmp/activation" || { echo "two-tills: no hub" >&2; exit 1; }
grep -q '|04000|' "$tmp/activation" || { echo "two-tills: not activated: $(cat "$tmp/activation")" >&2; exit 1; }

TORVEX_TILL=1 "$@" >"$tmp/till1.out" 2>&1 &
one=$!
TORVEX_TILL=2 "$@" >"$tmp/till2.out" 2>&1 &
two=$!
rc1=0; rc2=0
wait $one || rc1=$?
wait $two || rc2=$?
for t in 1 2; do echo "--- till $t"; cat "$tmp/till$t.out"; done
if [ -n "${TORVEX_HUB_ACCESS_LOG:-}" ] && [ -f "$TORVEX_HUB_ACCESS_LOG" ]; then
  order=$(grep '"EnviarDadosVenda"' "$TORVEX_HUB_ACCESS_LOG" |
          sed -n 's/.*"numero_caixa":\([0-9]*\).*/\1/p' | tr -d '\n')
  echo "sales on the device, by till: $order"
fi
[ $rc1 = 77 ] && [ $rc2 = 77 ] && exit 77
[ $rc1 = 0 ] && [ $rc2 = 0 ]
