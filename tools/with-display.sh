#!/bin/bash
# Runs a command with a private X display (Xvfb, through xvfb-run), for tests
# whose Windows programs show windows under Wine.
#   with-display.sh [--wine-prefix DIR] COMMAND [ARGS...]
# With --wine-prefix, the prefix's Wine server is stopped after the command,
# while the display still exists, so that no Wine process of this test
# outlives its display. Without xvfb-run the test is skipped: exit status 77
# and a one-line reason.
set -uo pipefail
prefix=""
if [ "${1:-}" = --wine-prefix ]; then prefix=$2; shift 2; fi
if ! command -v xvfb-run >/dev/null 2>&1; then
  echo "SKIP: xvfb-run not found (Debian package xvfb): this test needs a display"
  exit 77
fi
if [ -z "$prefix" ]; then
  exec xvfb-run -a -s "-screen 0 1024x768x24" "$@"
fi
# Inside the display: the command, then the prefix's server.
exec xvfb-run -a -s "-screen 0 1024x768x24" bash -c '
  "$@"; rc=$?
  WINEPREFIX="'"$prefix"'" wineserver -k >/dev/null 2>&1
  exit $rc' with-display "$@"
