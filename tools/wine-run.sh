#!/bin/bash
# Runs a cross-built Windows program under 32-bit Wine in the project's test
# prefix. Used as CMAKE_CROSSCOMPILING_EMULATOR, so ctest and the build run
# every Windows test program through it.
#
# The prefix is created once (about 6 s) and reused. It is set up so that a
# COM port exists exactly when a dosdevices/comN link exists: the mount
# manager, which would link the machine's real UARTs (/dev/ttyS*) to COM
# ports, is disabled, and every comN link it may have left is removed. The
# library's port probe therefore never writes to real hardware.
#
#   TORVEX_WINEPREFIX   prefix to use (default: ~/.cache/torvex/wineprefix)
set -euo pipefail
prefix=${TORVEX_WINEPREFIX:-${HOME:-/tmp}/.cache/torvex/wineprefix}
export WINEPREFIX=$prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mountmgr.sys=d;winemenubuilder.exe=d;mscoree=d;mshtml=d"
export WINEARCH=win32
mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/.torvex-ready" ]; then
    rm -rf "$prefix"
    wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
    touch "$prefix/.torvex-ready"
  fi
  # Only links that tests made to live pseudo-terminals may stand for COM
  # ports: any other comN link (a real UART, a dead pseudo-terminal) goes.
  if [ -z "${TORVEX_KEEP_COM_LINKS:-}" ]; then
    for link in "$prefix"/dosdevices/com*; do
      [ -L "$link" ] || continue
      target=$(readlink "$link")
      case "$target" in
        /dev/pts/*) [ -e "$link" ] || rm -f "$link" ;;
        *) rm -f "$link" ;;
      esac
    done
  fi
) 9>"$prefix.lock"

# A program that connects just as the prefix's server shuts down (it stops
# as soon as its last client has gone) is dropped before it runs, with
# "wine client error ... recvmsg". Such a start is tried again, once.
errors=$(mktemp)
trap 'rm -f "$errors"' EXIT
for attempt in 1 2; do
  set +e
  wine "$@" 2>"$errors"
  rc=$?
  set -e
  if [ $rc -ne 0 ] && [ $attempt = 1 ] && grep -q '^wine client error' "$errors"; then
    sleep 0.2
    continue
  fi
  cat "$errors" >&2
  exit $rc
done
