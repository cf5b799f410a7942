#!/bin/bash
# The main job: a short, realistic session of a POS program with a SAT
# device, through the real library, against the device emulator.
#
#   tools/demo.sh            builds the native preset, runs satcli (Linux)
#   tools/demo.sh --wine     also builds a Windows preset and runs satcli.exe
#                            (torvex.dll) under Wine: win32 (32-bit Wine)
#                            where this machine runs 32-bit programs,
#                            otherwise win64 (64-bit Wine)
#   --wine=win32|win64       that Windows preset
#   --no-build               uses the binaries already built
#
# satemu serves a pseudo-terminal linked as COM7 (natively
# $TORVEX_PORT_DIR/COM7 in a temporary folder; under Wine the prefix's
# dosdevices/com7), with a fresh device state. The session queries the
# device, activates it, links the POS signature, sends the sale in
# tools/samples/venda.xml, cancels it with the access key the sale returned,
# and reads the operating status, with the trace log on. Each step prints
# the reply, CodigoErro, LastTx and LastRx; the trace log follows at the end.
# The exit status is non-zero when a step failed (77 when the emulator is
# missing).
#
# Build folders: $TORVEX_NATIVE_BUILD (default build/native) and
# $TORVEX_WINDOWS_BUILD (default build/<windows preset>); $TORVEX_SATEMU names
# another emulator binary. Packages: the native build's only, plus the
# cross compilers and Wine with --wine (tools/setup.sh).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
wine=0
build=1
win_preset=
for arg in "$@"; do
  case "$arg" in
    --wine) wine=1 ;;
    --wine=win32|--wine=win64) wine=1; win_preset=${arg#--wine=} ;;
    --no-build) build=0 ;;
    -h|--help) sed -n '2,28p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    *) echo "demo.sh: unknown argument $arg (see --help)" >&2; exit 2 ;;
  esac
done

if [ "$wine" = 1 ] && [ -z "$win_preset" ]; then
  if "$root/tools/can-run-i386.sh" 2>/dev/null; then win_preset=win32; else win_preset=win64; fi
fi
native_dir=${TORVEX_NATIVE_BUILD:-$root/build/native}
win_dir=${TORVEX_WINDOWS_BUILD:-$root/build/${win_preset:-win32}}

if [ "$build" = 1 ]; then
  groups=(native)
  if [ "$wine" = 1 ]; then
    if [ "$win_preset" = win32 ]; then groups+=(windows wine32); else groups+=(windows wine64); fi
  fi
  "$root/tools/setup.sh" "${groups[@]}"
  (cd "$root" && cmake --preset native && cmake --build --preset native)
  if [ "$wine" = 1 ]; then
    (cd "$root" && cmake --preset "$win_preset" && cmake --build --preset "$win_preset")
  fi
fi

satemu=${TORVEX_SATEMU:-}
if [ -z "$satemu" ]; then
  for candidate in "$native_dir/bin/satemu" "$native_dir/tools/satemu/satemu"; do
    if [ -x "$candidate" ]; then satemu=$candidate; break; fi
  done
fi
if [ -z "$satemu" ] || [ ! -x "$satemu" ]; then
  echo "demo.sh: satemu not found under $native_dir (is it built?)" >&2
  exit 77
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/torvex-demo.XXXXXX")
emu_pid=
cleanup() {
  if [ -n "$emu_pid" ]; then
    kill -TERM "$emu_pid" 2>/dev/null || true
    wait "$emu_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

if [ "$wine" = 1 ]; then
  satcli=$win_dir/bin/satcli.exe
  wine_run=$win_dir/wine-run
  [ -f "$satcli" ] && [ -x "$wine_run" ] || { echo "demo.sh: $satcli or $wine_run missing" >&2; exit 1; }
  export TORVEX_WINEPREFIX=${TORVEX_WINEPREFIX:-$win_dir/wineprefix}
  # The first run creates the prefix if needed; from then on the COM7 link
  # made below is kept.
  "$wine_run" "$satcli" --help >/dev/null
  export TORVEX_KEEP_COM_LINKS=1
  link=$TORVEX_WINEPREFIX/dosdevices/com7
  cli=("$wine_run" "$satcli")
  winpath() { printf 'Z:%s' "$1"; }   # Wine's Z: drive is the Unix root
else
  satcli=$native_dir/bin/satcli
  [ -x "$satcli" ] || satcli=$native_dir/tools/satcli/satcli
  [ -x "$satcli" ] || { echo "demo.sh: satcli not found under $native_dir" >&2; exit 1; }
  mkdir "$work/ports"
  export TORVEX_PORT_DIR=$work/ports
  link=$TORVEX_PORT_DIR/COM7
  cli=("$satcli")
  winpath() { printf '%s' "$1"; }
fi

codigo=12345678
cnpj_emitente=11222333000181          # the taxpayer (emit/CNPJ of the sale)
cnpj_software=16716114000172          # the POS software house (ide/CNPJ)
uf=35

echo "==> starting satemu on $link"
source "$root/tools/satemu-start.sh"
start_satemu "$satemu" "$work/satemu.log" "$link" --state "$work/state" || exit 1

log=$work/sat.log
failed=0
# step TITLE EXPECTED_CODES SATCLI_ARGS...: runs one command with the trace
# log on, prints its report, and checks the device's code (second field of
# the reply) against the expected ones ("08000" or "04000|04003").
step() {
  local title=$1 codes=$2; shift 2
  echo
  echo "==> $title"
  local status=0
  rm -f "$work/reply.txt"
  # --short keeps the long base64 fields readable (the trace log at the end
  # has everything). --retry: a command whose search for the device came up
  # empty was not sent, and is asked again.
  "${cli[@]}" --retry 2 --short --log "$(winpath "$log")" --save "$(winpath "$work/reply.txt")" "$@" || status=$?
  local code
  code=$(cut -d'|' -f2 "$work/reply.txt" 2>/dev/null || true)
  if [ "$status" -ne 0 ]; then
    echo "!!! $title: satcli exited with $status" >&2
    failed=1
    return 1
  fi
  if ! [[ "$code" =~ ^($codes)$ ]]; then
    echo "!!! $title: device code '$code', expected $codes" >&2
    failed=1
    return 1
  fi
}

step "ConsultarSAT: is the device there?" "08000" ConsultarSAT || true
step "AtivarSAT: activate it for CNPJ $cnpj_emitente, state $uf" "04000" \
  AtivarSAT --sub 1 --codigo "$codigo" --cnpj "$cnpj_emitente" --uf "$uf" || true
signac=$(sed -n 's:.*<signAC>\(.*\)</signAC>.*:\1:p' "$root/tools/samples/venda.xml")
printf '%s' "$signac" >"$work/signac.txt"
step "AssociarAssinatura: link the POS software's signature" "13000" \
  AssociarAssinatura --codigo "$codigo" --cnpj "$cnpj_software$cnpj_emitente" \
  --assinatura @"$(winpath "$work/signac.txt")" || true

if step "EnviarDadosVenda: send the sale in tools/samples/venda.xml" "06000" \
  EnviarDadosVenda --codigo "$codigo" --dados @"$(winpath "$root/tools/samples/venda.xml")"; then
  # Field 9 of the expanded reply is the access key: "CFe" and 44 digits.
  key=$(cut -d'|' -f9 "$work/reply.txt")
  if [[ "$key" =~ ^CFe[0-9]{44}$ ]]; then
    echo "==> access key of the sale: $key"
    sed "s/chCanc=\"[^\"]*\"/chCanc=\"$key\"/" "$root/tools/samples/cancelamento.xml" >"$work/cancelamento.xml"
    step "CancelarUltimaVenda: cancel that sale" "07000" \
      CancelarUltimaVenda --codigo "$codigo" --chave "$key" \
      --dados @"$(winpath "$work/cancelamento.xml")" || true
  else
    echo "!!! the sale's reply has no access key in field 9 ('$key')" >&2
    failed=1
  fi
fi
step "ConsultarStatusOperacional: the device's operating status" "10000" \
  ConsultarStatusOperacional --codigo "$codigo" || true

echo
echo "==> trace log ($log)"
cat "$log" 2>/dev/null || echo "(no trace log written)"

echo
if [ "$failed" -ne 0 ]; then
  echo "==> a step failed; satemu said:"
  tail -n 20 "$work/satemu.log"
  exit 1
fi
echo "==> session complete"
