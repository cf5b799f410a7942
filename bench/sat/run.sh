#!/bin/bash
# Runs the SAT interface benchmarks (satbench) against the device emulator
# (satemu), for the native library and for torvex.dll under Wine.
#
#   bench/sat/run.sh [--native DIR] [--win32 DIR] [--win64 DIR]
#                    [--only native|win32|win64] [--quick] [--latency]
#
# DIR are build trees (default build/native, build/win32 and build/win64,
# the presets' folders); a missing one is configured like its preset. The
# satemu of the native tree serves them all. Each benchmark gets a fresh
# emulator on COM7: a pseudo-terminal linked as $TORVEX_PORT_DIR/COM7
# natively, and as dosdevices/com7 in a Windows tree's own Wine prefix.
# Without --only, the 32-bit DLL is measured only where this machine can run
# 32-bit programs (tools/can-run-i386.sh). --quick runs fewer calls (a smoke
# run; its figures are not the ones to publish). --latency runs only the
# latency benchmark.
set -euo pipefail
src=$(cd "$(dirname "$0")/../.." && pwd)
native=$src/build/native
win32=$src/build/win32
win64=$src/build/win64
only=""
quick=0
latency_only=0
while [ $# -gt 0 ]; do
  case "$1" in
    --native) native=$2; shift 2 ;;
    --win32) win32=$2; shift 2 ;;
    --win64) win64=$2; shift 2 ;;
    --only) only=$2; shift 2 ;;
    --quick) quick=1; shift ;;
    --latency) latency_only=1; shift ;;
    *) echo "run.sh: unknown option $1" >&2; exit 2 ;;
  esac
done
native=$(realpath -m "$native")
win32=$(realpath -m "$win32")
win64=$(realpath -m "$win64")
runs=()
case "$only" in
  native | win32 | win64) runs=("$only") ;;
  "")
    runs=(native)
    "$src/tools/can-run-i386.sh" >/dev/null 2>&1 && runs+=(win32)
    runs+=(win64) ;;
  *) echo "run.sh: --only takes native, win32 or win64" >&2; exit 2 ;;
esac
wants() { [[ " ${runs[*]} " == *" $1 "* ]]; }

# Call counts: enough that the medians settle and that a 10 ms CPU clock
# (Wine) still gives per-call CPU figures to a fraction of a millisecond.
if [ $quick = 1 ]; then
  latency_calls=20; timeout_calls=2; sale_calls=(20 5 5)
else
  latency_calls=300; timeout_calls=12; sale_calls=(300 60 30)
fi
sale_sizes=(65536 1048576 2093056)  # 64 KiB, 1 MiB, 2 MiB - 4 KiB

buildlog=$(mktemp /tmp/torvex-bench-build.XXXXXX)
# build DIR TARGET... (configure-args after --): builds, or shows why not.
build() {
  local dir=$1; shift
  local targets=() args=()
  while [ $# -gt 0 ] && [ "$1" != -- ]; do targets+=("$1"); shift; done
  [ $# -gt 0 ] && shift
  args=("$@")
  if { [ -f "$dir/CMakeCache.txt" ] ||
       cmake -S "$src" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${args[@]}"; } >"$buildlog" 2>&1 &&
     cmake --build "$dir" --target "${targets[@]}" >>"$buildlog" 2>&1; then
    return 0
  fi
  echo "run.sh: building ${targets[*]} in $dir failed:" >&2
  tail -30 "$buildlog" >&2
  rm -f "$buildlog"
  exit 1
}
build "$native" satemu satbench
satemu=$native/bin/satemu
if wants win32; then
  build "$win32" torvex satbench -- --toolchain "$src/cmake/mingw-i686.cmake" -DSATEMU_EXECUTABLE="$satemu"
fi
if wants win64; then
  build "$win64" torvex satbench -- --toolchain "$src/cmake/mingw-x86_64.cmake" -DSATEMU_EXECUTABLE="$satemu"
fi
rm -f "$buildlog"

tmp=$(mktemp -d /tmp/torvex-bench.XXXXXX)
emu_pid=""
link=""
server_pid=""
win=""            # the Windows tree being measured
wineserver=wineserver
stop_emu() {
  if [ -n "$emu_pid" ]; then kill -TERM "$emu_pid" 2>/dev/null || true; wait "$emu_pid" 2>/dev/null || true; fi
  emu_pid=""
  [ -n "$link" ] && rm -f "$link"
  link=""
}
cleanup() {
  stop_emu
  if [ -n "$server_pid" ]; then
    # Ends the Wine processes of the benchmark's own prefix, then its server.
    WINEPREFIX=$win/wineprefix $wineserver -k 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  rm -rf "$tmp"
}
trap cleanup EXIT

# start_emu LINK [satemu options...]: a fresh, activated device on LINK. Its
# log carries UTC times, so satbench can line them up with its own.
start_emu() {
  link=$1; shift
  rm -f "$tmp/control" "$tmp/emu.log"
  rm -rf "$tmp/state"
  TZ=UTC "$satemu" --link "$link" --state "$tmp/state" --control "$tmp/control" --activated "$@" \
    >"$tmp/emu.log" 2>&1 &
  emu_pid=$!
  for _ in $(seq 1 250); do [ -e "$link" ] && return 0; sleep 0.02; done
  echo "run.sh: satemu did not come up on $link" >&2; cat "$tmp/emu.log" >&2; exit 1
}

# CPU time (ms) a process has used so far, from /proc (clock ticks).
proc_cpu_ms() {
  local hz; hz=$(getconf CLK_TCK)
  awk -v hz="$hz" '{ sub(/^.*\) /, ""); print ($12 + $13) * 1000 / hz }' "/proc/$1/stat"
}

machine() {
  echo "date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "machine: $(nproc) CPUs, $(grep -m1 'model name' /proc/cpuinfo | sed 's/.*: //'), $(uname -sr)"
}

run_native() {
  local bench=$native/bin/satbench
  mkdir -p "$tmp/ports"
  export TORVEX_PORT_DIR=$tmp/ports
  echo "=== native: libtorvex.so ($native)"
  start_emu "$tmp/ports/COM7" --verbose
  "$bench" latency --calls $latency_calls --emu-log "$tmp/emu.log" || echo "  (satbench exit status $?)"; stop_emu
  if [ $latency_only = 1 ]; then unset TORVEX_PORT_DIR; return; fi
  start_emu "$tmp/ports/COM7"
  "$bench" timeout --calls $timeout_calls --control "$tmp/control" || echo "  (satbench exit status $?)"; stop_emu
  for i in 0 1 2; do
    start_emu "$tmp/ports/COM7"
    "$bench" sale --size "${sale_sizes[$i]}" --calls "${sale_calls[$i]}" || echo "  (satbench exit status $?)"; stop_emu
  done
  unset TORVEX_PORT_DIR
}

# Runs satbench.exe ARGS under Wine and reports the wineserver's CPU time
# during the run (the server does part of Wine's work for the process).
wine_bench() {
  local before after
  before=$(proc_cpu_ms "$server_pid")
  TORVEX_KEEP_COM_LINKS=1 "$win/wine-run" "$win/bin/satbench.exe" "$@" || echo "  (satbench exit status $?)"
  after=$(proc_cpu_ms "$server_pid")
  echo "  wineserver CPU during the run: $(awk -v a="$after" -v b="$before" 'BEGIN { printf "%.0f", a - b }') ms"
}

# run_windows LABEL TREE: the DLL of TREE under Wine (32- or 64-bit, as the
# tree's wine-run wrapper picks).
run_windows() {
  local label=$1
  win=$2
  local prefix=$win/wineprefix
  if [ "$label" = win64 ]; then wineserver=/usr/lib/wine/wineserver64; else wineserver=wineserver; fi
  echo "=== $label: torvex.dll under $(wine --version 2>/dev/null || echo Wine) ($win)"
  # Creates the prefix on first use and clears COM links left behind.
  "$win/wine-run" cmd /c exit 0 >/dev/null 2>&1 || true
  WINEPREFIX=$prefix $wineserver -w || true
  # Our own wineserver for the prefix, in the foreground, so that its CPU
  # time can be read; it ends itself 60 s after the last Wine process.
  WINEPREFIX=$prefix WINEDEBUG=-all $wineserver -f -p60 &
  server_pid=$!
  # Wine's own service processes start with the first program and outlive
  # it: start them here, away from our output.
  "$win/wine-run" cmd /c exit 0 >/dev/null 2>&1 </dev/null || true
  local z="Z:$tmp"
  start_emu "$prefix/dosdevices/com7" --verbose
  wine_bench latency --calls $latency_calls --emu-log "$z/emu.log"; stop_emu
  if [ $latency_only = 0 ]; then
    start_emu "$prefix/dosdevices/com7"
    wine_bench timeout --calls $timeout_calls --control "$z/control"; stop_emu
    for i in 0 1 2; do
      start_emu "$prefix/dosdevices/com7"
      wine_bench sale --size "${sale_sizes[$i]}" --calls "${sale_calls[$i]}"; stop_emu
    done
  fi
  WINEPREFIX=$prefix $wineserver -k 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
}

machine
wants native && run_native
wants win32 && run_windows win32 "$win32"
wants win64 && run_windows win64 "$win64"
true
