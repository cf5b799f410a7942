#!/bin/bash
# Builds and runs every test: the native build (unit, end-to-end against
# satemu, header and tool tests), the Windows build under Wine, and the
# native tests again under AddressSanitizer and ThreadSanitizer.
#   tools/test-all.sh [native] [win32] [asan] [tsan]   (default: all four)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
"$root/tools/setup.sh" || exit 1

presets=("$@")
[ ${#presets[@]} -eq 0 ] && presets=(native win32 asan tsan)
jobs=$(nproc 2>/dev/null || echo 2)
passed=0; failed=0; broken=()

run_preset() {
  local p=$1
  echo "=== $p: configure and build"
  if ! cmake --preset "$p" >/dev/null || ! cmake --build --preset "$p" -j "$jobs"; then
    broken+=("$p (build)"); return
  fi
  echo "=== $p: tests"
  local log; log=$(mktemp)
  ctest --preset "$p" -j "$jobs" 2>&1 | tee "$log"
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

for p in "${presets[@]}"; do
  # The Windows end-to-end tests drive the native satemu.
  if [ "$p" = win32 ] && [ ! -x build/native/bin/satemu ]; then
    cmake --preset native >/dev/null && cmake --build --preset native -j "$jobs" --target satemu
  fi
  run_preset "$p"
done

echo
[ ${#broken[@]} -gt 0 ] && echo "problems: ${broken[*]}"
echo "all presets: $passed passed, $failed failed"
[ $failed -eq 0 ] && [ ${#broken[@]} -eq 0 ]
