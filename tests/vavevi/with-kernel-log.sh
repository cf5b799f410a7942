#!/bin/bash
# Runs a Windows test program as the first program of a fresh Wine session in
# a prefix of its own, with the kernel debug output of the session's drivers
# (DbgPrint in Wine's driver host) written to a log that the program reads.
#
# Wine's driver host prints DbgPrint texts on the debug channel "debugstr"
# and inherits its standard error from the program that started the session,
# so the session must be new: the script waits until the prefix's previous
# server has gone, then starts the program with that channel on and its
# standard error in the log. TORVEX_KERNEL_LOG names the log for the program.
#
#   with-kernel-log.sh <wine-run> <prefix> <log> <program> [arguments...]
set -euo pipefail
wine_run=$1 prefix=$2 log=$3
shift 3
export TORVEX_WINEPREFIX=$prefix
# Creates the prefix on first use (and cleans its port links).
"$wine_run" --version >/dev/null
WINEPREFIX=$prefix wineserver -w || true
: >"$log"
export TORVEX_WINEDEBUG=warn+debugstr TORVEX_WINE_LOG=$log TORVEX_KERNEL_LOG=$log
set +e
"$wine_run" "$@"
rc=$?
set -e
# What the program and the session wrote besides the debug lines.
grep -v ':debugstr:' "$log" >&2 || true
exit $rc
