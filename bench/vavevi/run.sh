#!/bin/bash
# Runs serial_bench under Wine on a pseudo-terminal cable (COM7-COM8, with
# the modem-line library) and prints its figures; for the idle modes it
# adds the CPU time of the program and of the prefix's wineserver over the
# silent window, read from /proc.
#
#   bench/vavevi/run.sh [BUILD_DIR] [--quick]
#
# BUILD_DIR is a Windows build tree with tests and benchmarks built
# (default build/win64).
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
build=$src/build/win64
quick=0
for a in "$@"; do
  case "$a" in
    --quick) quick=1 ;;
    *) build=$(realpath -m "$a") ;;
  esac
done
bench=$build/bin/serial_bench.exe
ptycom=$build/tests/vavevi/pty-com
lines="$build/tests/vavevi/modem-lines/\$LIB/libmodem-lines.so"
prefix=$(sed -n 's/^export TORVEX_WINEPREFIX="\${TORVEX_WINEPREFIX:-\(.*\)}"$/\1/p' "$build/wine-run")
for f in "$bench" "$ptycom" "$build/wine-run"; do
  [ -x "$f" ] || { echo "run.sh: $f is missing (build the tree first)" >&2; exit 2; }
done
if [ $quick = 1 ]; then samples=200; mib=2; idle=3; else samples=2000; mib=8; idle=10; fi
hz=$(getconf CLK_TCK)

# utime + stime of a process, in clock ticks.
ticks() { awk '{print $14 + $15}' "/proc/$1/stat" 2>/dev/null || echo 0; }
# The wineserver of this prefix (the one whose environment names it).
wineserver_pid() {
  local p
  for p in $(pgrep -x 'wineserver|wineserver64' || true); do
    if tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "WINEPREFIX=$prefix"; then
      echo "$p"; return
    fi
  done
}

run() {
  "$ptycom" --preload "$lines" "$prefix" 7:8 "$build/wine-run" "$bench" "$@"
}

echo "# $(date -u '+%Y-%m-%d %H:%M UTC'), $(nproc) CPUs, $(/usr/lib/wine/wine64 --version 2>/dev/null), $(basename "$build")"
run latency "$samples"
run throughput "$mib"
for mode in idle idle-raw; do
  run "$mode" "$idle" | while IFS= read -r line; do
    line=${line%$'\r'}  # Wine writes CR LF
    case "$line" in
      IDLE-START*)
        pid=${line#IDLE-START }
        server=$(wineserver_pid)
        p0=$(ticks "$pid"); s0=$(ticks "${server:-0}"); t0=$(date +%s.%N) ;;
      IDLE-END)
        p1=$(ticks "$pid"); s1=$(ticks "${server:-0}"); t1=$(date +%s.%N)
        awk -v p=$((p1 - p0)) -v s=$((s1 - s0)) -v t0="$t0" -v t1="$t1" -v hz="$hz" -v m="$mode" \
          'BEGIN { w = t1 - t0; printf "%s_process_cpu_percent %.3f\n%s_wineserver_cpu_percent %.3f\n", m, p / hz / w * 100, m, s / hz / w * 100 }' ;;
      *) echo "$line" ;;
    esac
  done
done
