#!/bin/bash
# Builds the form-resource fuzz target with clang 14 (libFuzzer, ASan, UBSan)
# and runs it for a while over a scratch copy of its seed corpus.
#   tests/runtime/fuzz/formres-fuzz.sh [SECONDS] [BUILD_DIR]   (default 60, build/fuzz)
# Inputs that fail are written to BUILD_DIR/formres-crashes/; put the ones
# worth keeping into corpus/, where every build replays them
# (runtime.formres_fuzz_replay).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../../.." && pwd)
seconds=${1:-60}
build=${2:-$root/build/fuzz}
flags="-fsanitize=address,undefined,fuzzer-no-link -fno-sanitize-recover=undefined -fno-omit-frame-pointer -g -O1"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug \
  -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DCMAKE_SHARED_LINKER_FLAGS="-fsanitize=address,undefined" \
  -DTORVEX_FUZZ=ON -DTORVEX_BENCH=OFF >/dev/null
cmake --build "$build" --target formres_fuzz -j 2 >/dev/null
work=$build/formres-corpus
crashes=$build/formres-crashes
mkdir -p "$work" "$crashes"
cp -n "$here"/corpus/* "$work"/
cd "$crashes"
"$build"/bin/formres_fuzz "$work" -dict="$here/formres.dict" -max_total_time="$seconds" \
  -max_len=4096 -timeout=10 -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$crashes/"
