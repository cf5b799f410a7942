#!/bin/bash
# Formats every C and C++ source of the tree with the root .clang-format.
#   tools/format.sh           rewrite files in place
#   tools/format.sh --check   list files that differ; exit 1 if any
set -euo pipefail
cd "$(dirname "$0")/.."
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
if [ "${1:-}" = --check ]; then
  bad=0
  for f in "${files[@]}"; do
    if ! clang-format --style=file "$f" | cmp -s - "$f"; then echo "$f"; bad=1; fi
  done
  exit $bad
fi
clang-format --style=file -i "${files[@]}"
