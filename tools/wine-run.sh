#!/bin/bash
# Runs a cross-built Windows program under Wine in the project's test prefix.
# Used as CMAKE_CROSSCOMPILING_EMULATOR, so ctest and the build run every
# Windows test program through it.
#
# 32-bit programs (TORVEX_WINE_ARCH=win32, the default) run in a win32 prefix
# through the `wine` script, which picks Debian's 32-bit loader. 64-bit
# programs (TORVEX_WINE_ARCH=win64) run in a win64 prefix through the 64-bit
# loader itself: the `wine` script would pick the 32-bit loader whenever it
# is installed, even on a machine that cannot execute it.
#
# The prefix is created once (about 6 s; up to 90 s on a busy machine) and
# reused. It is set up so that a
# COM port exists exactly when a dosdevices/comN link exists: the mount
# manager, which would link the machine's real UARTs (/dev/ttyS*) to COM
# ports, is disabled, and every comN link it may have left is removed. The
# library's port probe therefore never writes to real hardware.
#
#   TORVEX_WINEPREFIX   prefix to use (default: ~/.cache/torvex/wineprefix)
#   TORVEX_WINE_ARCH    win32 (default) or win64
#   TORVEX_WINEDEBUG    Wine debug channels (default: -all)
#   TORVEX_WINE_LOG     a file that the program's standard error is appended
#                       to, instead of this script's own. When the program is
#                       the first of its Wine session, the session's services
#                       and driver host write there too (their debug output).
set -euo pipefail
prefix=${TORVEX_WINEPREFIX:-${HOME:-/tmp}/.cache/torvex/wineprefix}
export WINEPREFIX=$prefix
export WINEDEBUG=${TORVEX_WINEDEBUG:--all}
export WINEDLLOVERRIDES="mountmgr.sys=d;winemenubuilder.exe=d;mscoree=d;mshtml=d"
arch=${TORVEX_WINE_ARCH:-win32}
case "$arch" in
  win32) loader=wine ;;
  win64)
    loader=/usr/lib/wine/wine64
    export WINELOADER=$loader ;;
  *) echo "wine-run.sh: TORVEX_WINE_ARCH must be win32 or win64, not '$arch'" >&2; exit 2 ;;
esac
export WINEARCH=$arch
mkdir -p "$(dirname "$prefix")"
(
  flock 9
  if [ ! -f "$prefix/.torvex-ready" ]; then
    rm -rf "$prefix"
    "$loader" wineboot -i >/dev/null 2>&1 || true
    wineserver -w || true
    touch "$prefix/.torvex-ready"
  fi
  # Only links that tests made to live pseudo-terminals may stand for COM
  # ports: any other comN link (a real UART, a dead pseudo-terminal) goes.
  if [ -z "${TORVEX_KEEP_COM_LINKS:-}" ]; then
    for link in "$prefix"/dosdevices/com*; do
      [ -L "$link" ] || continue
      # A test may remove its own link at any moment (it is not under this
      # lock): a link gone between the listing and here is simply passed.
      target=$(readlink "$link") || continue
      case "$target" in
        /dev/pts/*) [ -e "$link" ] || rm -f "$link" ;;
        *) rm -f "$link" ;;
      esac
    done
  fi
) 9>"$prefix.lock"

# A program that connects just as the prefix's server shuts down (it stops
# as soon as its last client has gone) is dropped before it runs, with
# "wine client error ... recvmsg"; on a very busy machine a start can also
# fail without a word (seen: a test program that always prints ended with a
# failure and no output at all). Such a start is tried again, once, and the
# retry is reported on standard error.
out=$(mktemp)
if [ -n "${TORVEX_WINE_LOG:-}" ]; then
  errors=$TORVEX_WINE_LOG
  trap 'rm -f "$out"' EXIT
else
  errors=$(mktemp)
  trap 'rm -f "$errors" "$out"' EXIT
fi
for attempt in 1 2; do
  [ -n "${TORVEX_WINE_LOG:-}" ] || : >"$errors"
  errors_before=$(stat -c %s "$errors")
  set +e
  "$loader" "$@" 2>>"$errors" | tee "$out"
  rc=${PIPESTATUS[0]}
  set -e
  if [ $rc -ne 0 ] && [ $attempt = 1 ]; then
    if grep -q '^wine client error' "$errors"; then
      sleep 0.2
      continue
    fi
    if [ ! -s "$out" ] && [ "$(stat -c %s "$errors")" = "$errors_before" ]; then
      echo "wine-run.sh: $1 ended with code $rc before writing anything; started again" >&2
      sleep 0.2
      continue
    fi
  fi
  [ -n "${TORVEX_WINE_LOG:-}" ] || cat "$errors" >&2
  exit $rc
done
