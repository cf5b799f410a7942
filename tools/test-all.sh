#!/bin/bash
# Builds and runs every test: the native build (unit, end-to-end against
# satemu, header and tool tests), the Windows builds under Wine (32-bit and
# 64-bit), and the native tests again under AddressSanitizer and
# ThreadSanitizer.
#   tools/test-all.sh [native] [win32] [win64] [asan] [tsan] [fuzz]   (default: all)
#
# fuzz runs each libFuzzer target for about 30 s (tools/fuzz.sh).
#
# The 32-bit Windows tests need a machine that can execute 32-bit x86
# programs; some cannot (tools/can-run-i386.sh finds out by running one).
# There the win32 preset is still built and torvex.dll is checked as an
# image (tests labelled "image"), and the rest of its run is reported as
# skipped, with the reason, here and in the closing summary.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/tools/setup.sh" tests || exit 1

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(native win32 win64 asan tsan fuzz)
jobs=$(nproc 2>/dev/null || echo 2)
passed=0; failed=0; broken=(); skipped=()

# run_preset PRESET WINE_TESTS [CTEST ARGS...]
run_preset() {
  local p=$1 wine_tests=$2; shift 2
  echo "=== $p: configure and build"
  if ! cmake --preset "$p" -DTORVEX_WINE_TESTS="$wine_tests" >/dev/null ||
     ! cmake --build --preset "$p" -j "$jobs"; then
    broken+=("$p (build)"); return
  fi
  echo "=== $p: tests"
  local log; log=$(mktemp)
  ctest --preset "$p" -j "$jobs" "$@" 2>&1 | tee "$log"
  local line
  line=$(grep -E 'tests passed, [0-9]+ tests failed out of [0-9]+' "$log" | tail -1)
  if [ -z "$line" ]; then broken+=("$p (no test summary)"); rm -f "$log"; return; fi
  local total bad
  total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
  bad=$(sed -E 's/.*tests passed, ([0-9]+) tests failed.*/\1/' <<<"$line")
  passed=$((passed + total - bad)); failed=$((failed + bad))
  [ "$bad" -gt 0 ] && broken+=("$p ($bad failed)")
  rm -f "$log"
}

# The fuzz targets, about 30 s each: one pass per target without a finding.
run_fuzz() {
  echo "=== fuzz: libFuzzer targets, 30 s each"
  # The output goes to this script's own standard output as it comes (not
  # through /dev/stderr: reopening that truncates a log file it points to).
  local line out
  out=$(mktemp)
  "$root/tools/fuzz.sh" 30 | tee "$out"
  line=$(grep -E '^fuzz: [0-9]+ passed, [0-9]+ failed$' "$out")
  rm -f "$out"
  if [ -z "$line" ]; then broken+=("fuzz (no summary)"); return; fi
  local ok bad
  ok=$(sed -E 's/fuzz: ([0-9]+) passed.*/\1/' <<<"$line")
  bad=$(sed -E 's/.*passed, ([0-9]+) failed/\1/' <<<"$line")
  passed=$((passed + ok)); failed=$((failed + bad))
  [ "$bad" -gt 0 ] && broken+=("fuzz ($bad failed)")
}

started=$SECONDS
for p in "${presets[@]}"; do
  case "$p" in
    win32|win64)
      # The Windows end-to-end tests drive the native satemu.
      if [ ! -x build/native/bin/satemu ]; then
        cmake --preset native >/dev/null && cmake --build --preset native -j "$jobs" --target satemu
      fi ;;
  esac
  if [ "$p" = fuzz ]; then run_fuzz; continue; fi
  if [ "$p" = win32 ] && ! reason=$("$root/tools/can-run-i386.sh" 2>&1); then
    echo "=== win32: only the image checks run: $reason"
    skipped+=("win32 run skipped: $reason; torvex.dll checked as an image only")
    run_preset win32 OFF -L image
    continue
  fi
  run_preset "$p" ON
done

echo
for s in "${skipped[@]}"; do echo "skipped: $s"; done
[ ${#broken[@]} -gt 0 ] && echo "problems: ${broken[*]}"
echo "all presets: $passed passed, $failed failed ($(( (SECONDS - started) / 60 )) min)"
[ $failed -eq 0 ] && [ ${#broken[@]} -eq 0 ]
