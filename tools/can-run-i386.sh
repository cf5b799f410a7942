#!/bin/bash
# Exits 0 when this machine can execute 32-bit x86 programs, 1 otherwise,
# printing the reason in one line on stderr.
#
# Some machines of ours run under a hypervisor that gives guests no IA-32
# compatibility: every i386 program fails with "Exec format error" although
# the kernel configuration claims support. Reading the configuration proves
# nothing, so this runs one: a 96-byte static i386 ELF that exits with 42
# through the int 0x80 system call. It needs no compiler and no package.
set -u
dir=$(mktemp -d "${TORVEX_PROBE_DIR:-${TMPDIR:-/tmp}}/torvex-i386.XXXXXX") || exit 1
trap 'rm -rf "$dir"' EXIT
probe=$dir/exit42
# ELF header (52 bytes), one PT_LOAD program header (32 bytes), then
#   mov eax, 1 ; mov ebx, 42 ; int 0x80
printf '\177ELF\001\001\001\000\000\000\000\000\000\000\000\000'`
      `'\002\000\003\000\001\000\000\000\124\200\004\010\064\000\000\000'`
      `'\000\000\000\000\000\000\000\000\064\000\040\000\001\000\000\000'`
      `'\000\000\000\000'`
      `'\001\000\000\000\000\000\000\000\000\200\004\010\000\200\004\010'`
      `'\140\000\000\000\140\000\000\000\005\000\000\000\000\020\000\000'`
      `'\270\001\000\000\000\273\052\000\000\000\315\200' >"$probe"
chmod +x "$probe"
out=$("$probe" 2>&1)
rc=$?
if [ $rc -eq 42 ]; then exit 0; fi
reason=${out##*: }
[ -n "$reason" ] || reason="exit status $rc"
echo "this machine cannot run 32-bit x86 programs (${reason})" >&2
exit 1
