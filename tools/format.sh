#!/bin/bash
# Formats every C and C++ source of the tree with the root .clang-format.
#   tools/format.sh           rewrite files in place
#   tools/format.sh --check   list files that differ; exit 1 if any
# The check is run by the test command (ctest: tools.format). It lists the
# tracked sources, so a file not yet added to git is not checked.
set -euo pipefail
cd "$(dirname "$0")/.."
if ! command -v clang-format >/dev/null; then
  echo "format.sh: clang-format is not installed (tools/setup.sh native installs it)" >&2
  exit 2
fi
mapfile -t files < <(git ls-files '*.c' '*.cpp' '*.h')
if [ "${1:-}" = --check ]; then
  bad=0
  for f in "${files[@]}"; do
    if ! clang-format --style=file "$f" | cmp -s - "$f"; then
      [ $bad = 0 ] && echo "These files differ from the tree's format (.clang-format):"
      echo "  $f"; bad=1
    fi
  done
  [ $bad = 1 ] && echo "Run tools/format.sh to rewrite them in place, then commit."
  exit $bad
fi
clang-format --style=file -i "${files[@]}"
