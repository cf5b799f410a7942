#!/bin/bash
# A whole session of satcli against the device emulator: help and usage
# errors, then query, activate, link the signature, sell, cancel, read the
# operating status, a port test, and a command that times out, checking
# each report and exit status.
#
#   satcli_session.sh --satcli EXE --satemu EXE --samples DIR [--wine WINE_RUN --prefix DIR]
#
# Exits 77 (skipped) when the emulator has not been built.
set -euo pipefail

satcli= satemu= samples= wine_run= prefix=
while [ $# -gt 0 ]; do
  case "$1" in
    --satcli) satcli=$2; shift 2 ;;
    --satemu) satemu=$2; shift 2 ;;
    --samples) samples=$2; shift 2 ;;
    --wine) wine_run=$2; shift 2 ;;
    --prefix) prefix=$2; shift 2 ;;
    *) echo "unknown argument $1" >&2; exit 2 ;;
  esac
done
if [ -z "$satemu" ] || [ ! -x "$satemu" ]; then
  echo "satemu is not built: skipped"
  exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/satcli-session.XXXXXX")
emu_pid=
cleanup() {
  if [ -n "$emu_pid" ]; then kill -TERM "$emu_pid" 2>/dev/null || true; wait "$emu_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

if [ -n "$wine_run" ]; then
  export TORVEX_WINEPREFIX=$prefix
  # The first run creates the prefix (and clears its COM links).
  "$wine_run" "$satcli" --help >/dev/null
  link=$prefix/dosdevices/com7
  bare=(env TORVEX_KEEP_COM_LINKS=1 "$wine_run" "$satcli")
else
  mkdir "$work/ports"
  export TORVEX_PORT_DIR=$work/ports
  link=$work/ports/COM7
  bare=("$satcli")
fi

codigo=12345678
source "$(dirname "$0")/../../tools/satemu-start.sh"
start_satemu "$satemu" "$work/satemu.log" "$link" --state "$work/state" --control "$work/control" || exit 1

# --retry asks again while the port is not ready (nothing was sent then), as
# a POS program would when the device is still coming up.
cli=("${bare[@]}" --retry 3)

# run EXPECTED_STATUS ARGS...: runs satcli, keeps its output in $work/out.
run() {
  local want=$1; shift
  local got=0
  "${cli[@]}" "$@" >"$work/out" 2>"$work/err" || got=$?
  if [ "$got" != "$want" ]; then
    fail "satcli $* exited $got, expected $want"
    sed 's/^/    /' "$work/out" "$work/err" >&2
  fi
}
# expect TEXT: the last output holds TEXT.
expect() {
  grep -qF -- "$1" "$work/out" || { fail "output lacks '$1'"; sed 's/^/    /' "$work/out" >&2; }
}
# field N: the Nth "|"-separated field of the last reply section.
reply() { sed -n '/^\[reply\]/{n;p;q}' "$work/out"; }

run 0 --help
expect "satcli ConsultarUltimaSessaoFiscal [--sessao N] --codigo TEXT"
run 0 CancelarUltimaVenda --help
expect "Usage: satcli CancelarUltimaVenda [--sessao N] --codigo TEXT --chave TEXT --dados TEXT"
run 2 Bogus
run 2 AtivarSAT --codigo "$codigo"

run 0 ConsultarSAT --sessao 42
expect "[ConsultarSAT] session 42"
expect "000042|08000|"
expect "[CodigoErro] code 0"
expect "=000042|ConsultarSAT"

log=$work/sat.log
run 0 --log "$log" AtivarSAT --sessao 1234567 --sub 1 --codigo "$codigo" --cnpj 11222333000181 --uf 35
expect "1234567|04000|"
grep -qF "AtivarSAT 1234567|AtivarSAT|1|$codigo|11222333000181|35" "$log" ||
  fail "trace log lacks the AtivarSAT line"

signac=$(sed -n 's:.*<signAC>\(.*\)</signAC>.*:\1:p' "$samples/venda.xml")
printf '%s' "$signac" >"$work/signac.txt"
run 0 AssociarAssinatura --codigo "$codigo" --cnpj 1671611400017211222333000181 --assinatura @"$work/signac.txt"
expect "|13000|"

run 0 --log "$log" EnviarDadosVenda --sessao 777 --codigo "$codigo" --dados @"$samples/venda.xml" --save "$work/sale.txt"
expect "000777|06000|"
key=$(cut -d'|' -f9 "$work/sale.txt")
[[ "$key" =~ ^CFe[0-9]{44}$ ]] || fail "field 9 of the sale reply is '$key', not an access key"
[ "$(reply)" = "$(cat "$work/sale.txt")" ] || fail "--save did not keep the reply as shown"
grep -q "EnviarDadosVenda 000777|EnviarDadosVenda|$codigo|" "$log" || fail "trace log lacks the sale line"

sed "s/chCanc=\"[^\"]*\"/chCanc=\"$key\"/" "$samples/cancelamento.xml" >"$work/cancelamento.xml"
run 0 CancelarUltimaVenda --codigo "$codigo" --chave "$key" --dados @"$work/cancelamento.xml"
expect "|07000|"

run 0 --quiet ConsultarStatusOperacional --codigo "$codigo"
[ "$(wc -l <"$work/out")" = 1 ] || fail "--quiet printed more than the reply"
expect "|10000|"

run 0 ConsultarNumeroSessao --codigo "$codigo" --numero 777
expect "000777|06000|"

run 0 AbreSerialSAT --porta 7
expect "[result] 0"
expect "Porta COM7 aberta com sucesso"
run 1 AbreSerialSAT --porta 9 --baud 9600
expect "[result] 1"
expect "Erro ao abrir COM9"

# No reply (the probe's ConsultarSAT is still answered): the time-out after
# the command's 3 s.
echo "noreply@ConsultarStatusOperacional" >"$work/control"
run 1 ConsultarStatusOperacional --codigo "$codigo"
expect "[CodigoErro] code 32768"
expect "Timeout na comunica"

# A sale whose compressed form cannot fit one frame is refused by the
# library before anything is sent: code 1, and the device never sees it.
head -c 3000000 /dev/urandom | base64 -w 0 >"$work/huge.txt"
cli=("${bare[@]}")
run 1 --short EnviarDadosVenda --codigo "$codigo" --dados @"$work/huge.txt"
expect "[CodigoErro] code 1"
expect "excedem"

# The device ignores the search's ConsultarSAT: no port, code 1, nothing
# sent. Without --retry that is the end; with it, the next search finds the
# device and the command goes through.
echo "noreply@ConsultarSAT" >"$work/control"
cli=("${bare[@]}")
run 1 ExtrairLogs --codigo "$codigo"
expect "[CodigoErro] code 1"
expect "Erro ao abrir"
echo "noreply@ConsultarSAT" >"$work/control"
run 0 --retry 2 --short ExtrairLogs --codigo "$codigo"
expect "|15000|"
grep -qF "trying again (1 of 2)" "$work/err" || fail "no retry note on standard error"

if [ "$failures" -ne 0 ]; then
  echo "--- satemu log" >&2; tail -n 40 "$work/satemu.log" >&2
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "satcli session: all checks passed"
