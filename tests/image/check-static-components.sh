#!/bin/bash
# A program that uses the component library's C++ classes must carry the
# library itself (the static libraries torvex_vavevi and torvex_runtime):
# an exception thrown by a component inside torvex.dll cannot be caught by
# a 32-bit program (each module has its own unwinder). Checked on the image,
# without running it:
#   check-static-components.sh OBJDUMP PROGRAM.exe
set -euo pipefail
objdump=$1 program=$2
imports=$("$objdump" -p "$program" | sed -n 's/^\s*DLL Name: //p')
if grep -qix 'torvex.dll' <<<"$imports"; then
  echo "FAIL: $(basename "$program") imports torvex.dll; C++ callers of the component library link it statically (docs/serial.md)"
  exit 1
fi
echo "ok: $(basename "$program") carries the component library; imports: $(tr '\n' ' ' <<<"$imports")"
