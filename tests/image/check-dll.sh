#!/bin/bash
# Checks a built torvex.dll and its import library without running them, so
# the 32-bit image is held to its facts even on machines that cannot execute
# 32-bit code:
#   - the image is a PE DLL for the expected machine (PE32 i386 or PE32+
#     x86-64);
#   - every SAT function of torvex.def is exported under its plain name, and
#     no export carries a stdcall decoration (name@bytes);
#   - the callee removes its arguments (stdcall): on i386 every return of a
#     SAT function is "ret $<bytes>" with the bytes of its decoration; on
#     x86-64 there is one calling convention and every return is a plain ret;
#   - the image imports system DLLs only (no MinGW runtime, no zlib: zlib is
#     loaded at run time);
#   - the import library maps the names callers reference (ConsultarSAT@4 on
#     i386, ConsultarSAT on x86-64) onto the exports.
#
#   check-dll.sh --arch i386|x86-64 --tools PREFIX --dll DLL --implib LIB --def DEF
# PREFIX is the MinGW tool prefix (i686-w64-mingw32); each failed check
# prints what was expected and what was found. Exit status 0 when all hold.
set -uo pipefail
arch=""; tools=""; dll=""; implib=""; def=""
while [ $# -gt 0 ]; do
  case "$1" in
    --arch) arch=$2; shift 2 ;;
    --tools) tools=$2; shift 2 ;;
    --dll) dll=$2; shift 2 ;;
    --implib) implib=$2; shift 2 ;;
    --def) def=$2; shift 2 ;;
    *) echo "check-dll.sh: unknown argument $1" >&2; exit 2 ;;
  esac
done
objdump=$tools-objdump
nm=$tools-nm
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

case "$arch" in
  i386) format=pei-i386; symbol_prefix=_ ;;
  x86-64) format=pei-x86-64; symbol_prefix= ;;
  *) echo "check-dll.sh: --arch must be i386 or x86-64" >&2; exit 2 ;;
esac

# The SAT functions, with the bytes of arguments their callee removes.
mapfile -t entries < <(sed -nE 's/^  ([A-Za-z]+)@([0-9]+)$/\1 \2/p' "$def")
[ ${#entries[@]} -gt 0 ] || { echo "check-dll.sh: no functions in $def" >&2; exit 2; }

headers=$("$objdump" -p "$dll") || { echo "FAIL: $objdump cannot read $dll"; exit 1; }
found=$("$objdump" -f "$dll" | sed -nE 's/.*file format (.*)$/\1/p' | head -1)
[ "$found" = "$format" ] || fail "image format: expected $format, found '$found'"
grep -q 'Characteristics.*' <<<"$headers" && ! grep -qE '^\s+DLL$' <<<"$headers" &&
  fail "image is not flagged as a DLL"

exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$headers" |
  sed -nE 's/^\s*\[ *[0-9]+\] (.*)$/\1/p')
for entry in "${entries[@]}"; do
  name=${entry% *}
  grep -qx "$name" <<<"$exports" || fail "export $name: expected under its plain name, not found"
done
decorated=$(grep -E '^[A-Za-z_][A-Za-z0-9_]*@[0-9]+$' <<<"$exports" | head -3 | tr '\n' ' ')
[ -z "$decorated" ] || fail "exports with stdcall decorations: $decorated"

for entry in "${entries[@]}"; do
  name=${entry% *}; bytes=${entry#* }
  if [ "$arch" = i386 ]; then symbol=_$name@$bytes; else symbol=$name; fi
  # Only the function itself: objdump runs on into a local function that
  # follows it (a compiler's .isra/.part copy), whose returns are not its own.
  code=$("$objdump" -d --no-show-raw-insn --disassemble="$symbol" "$dll" 2>/dev/null |
    awk '/^[0-9a-f]+ <.*>:$/ { n++ } n == 1')
  rets=$(grep -oE '\sret[lq]?( +\$0x[0-9a-f]+)?\s*$' <<<"$code" | tr -s ' \t' ' ' | sed 's/^ //; s/ $//' | sort -u)
  if [ -z "$rets" ]; then
    grep -q "<$symbol>:" <<<"$code" || { fail "$name: symbol $symbol not found in the image"; continue; }
    continue  # ends in a tail call only: its target is checked on its own
  fi
  if [ "$arch" = i386 ] && [ "$bytes" != 0 ]; then
    expected=$(printf 'ret $0x%x' "$bytes")
  else
    expected=ret
  fi
  while read -r r; do
    r=${r/retl/ret}; r=${r/retq/ret}
    [ "$r" = "$expected" ] || fail "$name: returns with '$r', expected '$expected'"
  done <<<"$rets"
done

allowed=" kernel32.dll user32.dll gdi32.dll advapi32.dll msvcrt.dll winmm.dll version.dll"
allowed+=" setupapi.dll cfgmgr32.dll comctl32.dll comdlg32.dll shell32.dll ole32.dll"
allowed+=" oleaut32.dll ntdll.dll winspool.drv ws2_32.dll winhttp.dll "
while read -r imported; do
  lower=$(tr 'A-Z' 'a-z' <<<"$imported")
  case "$allowed" in
    *" $lower "*) ;;
    *) fail "imports $imported: expected system DLLs only (no MinGW runtime, zlib loads at run time)" ;;
  esac
done < <(sed -nE 's/^\s*DLL Name: (.*)$/\1/p' <<<"$headers")

symbols=$("$nm" "$implib" 2>/dev/null)
for entry in "${entries[@]}"; do
  name=${entry% *}; bytes=${entry#* }
  if [ "$arch" = i386 ]; then want=__imp__$name@$bytes; else want=__imp_$name; fi
  grep -qE " I $want\$" <<<"$symbols" || fail "import library: expected $want, not found"
done

if [ $failures -gt 0 ]; then
  echo "$dll: $failures check(s) failed"
  exit 1
fi
echo "$dll: $format, ${#entries[@]} SAT functions exported under plain names, returns as the convention requires, system imports only, import library names right"
