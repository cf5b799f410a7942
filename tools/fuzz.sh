#!/bin/bash
# Builds the libFuzzer targets of tests/fuzz (clang 14, AddressSanitizer and
# UBSan) in build/fuzz and runs each one.
#
#   tools/fuzz.sh [SECONDS] [TARGET...]   (default: 30 s each, every target)
#
# FUZZ_RUNS=N stops each target after N executions (SECONDS still bounds
# it). Each target starts from its seeds (tests/fuzz/seeds/TARGET, made from
# the tests' frames, replies and form resources; a TARGET.dict beside the
# targets is used as its dictionary) and keeps what it finds new in
# build/fuzz/corpus/TARGET for the next run. A crash, leak or sanitizer
# report is a finding: its input is kept as build/fuzz/findings/TARGET-*
# and the script fails. One line per target gives the executions and the
# rate; the last line is "fuzz: N passed, M failed" (a target passes with no
# finding). Run long sessions with `nice -n 19`.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
seconds=${1:-30}
shift || true
targets=("$@")
[ ${#targets[@]} -eq 0 ] && targets=(fuzz_reception fuzz_sale_reply fuzz_form_resource fuzz_hub_request)
build=$root/build/fuzz
flags="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=undefined -fno-omit-frame-pointer"

if ! command -v clang++-14 >/dev/null; then
  echo "fuzz: clang++-14 is not installed (run tools/setup.sh fuzz)"; echo "fuzz: 0 passed, 1 failed"; exit 1
fi
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DTORVEX_FUZZ=ON -DTORVEX_TESTS=OFF -DTORVEX_BENCH=OFF >/dev/null || exit 1
cmake --build "$build" -j 2 --target "${targets[@]}" || { echo "fuzz: 0 passed, ${#targets[@]} failed"; exit 1; }

passed=0; failed=0
mkdir -p "$build/findings"
for t in "${targets[@]}"; do
  corpus=$build/corpus/$t
  mkdir -p "$corpus"
  log=$build/$t.log
  runs=()
  [ -n "${FUZZ_RUNS:-}" ] && runs=(-runs="$FUZZ_RUNS")
  dict=$root/tests/fuzz/$t.dict
  [ -f "$dict" ] && runs+=(-dict="$dict")
  # stdout closed: the library prints a line for every unknown frame.
  "$build/bin/$t" "$corpus" "$root/tests/fuzz/seeds/$t" -max_total_time="$seconds" "${runs[@]}" \
    -max_len=8192 -close_fd_mask=1 -print_final_stats=1 -artifact_prefix="$build/findings/$t-" \
    >"$log" 2>&1
  rc=$?
  execs=$(grep -E '^stat::number_of_executed_units' "$log" | awk '{print $2}')
  took=$(grep -E '^stat::average_exec_per_sec' "$log" | awk '{print $2}')
  if [ $rc -eq 0 ]; then
    passed=$((passed + 1))
    echo "fuzz: $t: ${execs:-?} executions, ${took:-?}/s, no finding"
  else
    failed=$((failed + 1))
    echo "fuzz: $t: FINDING (exit $rc) after ${execs:-?} executions; see $log"
    grep -E 'ERROR|SUMMARY|runtime error' "$log" | head -5
  fi
done
echo "fuzz: $passed passed, $failed failed"
[ $failed -eq 0 ]
