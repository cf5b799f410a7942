#!/bin/bash
# Installs the Debian packages a build or test needs (Debian 12, x86_64), as
# root or through sudo. Safe to run again: it installs only what is missing.
#
#   tools/setup.sh [GROUP...]
#
#   native    cmake, ninja, g++, zlib, GoogleTest, Google Benchmark, Boost
#             (Beast, Asio) and nlohmann-json headers and OpenSSL (libssl-dev,
#             the openssl program for the TLS tests) for torvex-hub,
#             clang-format (the tree's format guard)
#   windows   MinGW-w64 cross compilers for i686 and x86_64, MinGW zlib
#             (its DLLs ship beside torvex.dll), GoogleTest sources
#   wine64    64-bit Wine, Xvfb (the Windows tests of the win64 build)
#   wine32    the i386 architecture, 32-bit Wine, gcc-multilib (the Windows
#             tests of the win32 build; only where 32-bit programs run)
#   fuzz      clang with libFuzzer
#   browser   Chromium and its WebDriver, and Firefox ESR (the hub console's
#             browser tests)
#   tests     everything tools/test-all.sh uses on this machine: native,
#             windows, wine64, fuzz, browser, and wine32 where
#             tools/can-run-i386.sh says 32-bit programs run (the default).
#             The browsers are optional here: one that cannot be installed is
#             named, the set-up succeeds, and that browser's test is skipped
#
# Package indexes are sometimes half-synced: an `apt-get update` that fails
# for some lists is reported in one line and the set-up carries on with the
# lists it got; an install that fails on mismatched versions (a library from
# the security suite whose i386 twin exists only in the main suite) is tried
# again with the release's own suite (`-t <codename>`).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
SUDO=""
if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi

groups=("$@")
[ ${#groups[@]} -eq 0 ] && groups=(tests)

packages=()
optional=()  # sets ("a b" installed together) after the rest; a failure is reported, not fatal
want_i386=0
add_group() {
  case "$1" in
    native) packages+=(cmake ninja-build g++ zlib1g-dev libgtest-dev googletest libbenchmark-dev
                       libboost-dev nlohmann-json3-dev libssl-dev openssl clang-format) ;;
    windows) packages+=(cmake ninja-build g++-mingw-w64-i686 mingw-w64-i686-dev
                        g++-mingw-w64-x86-64 mingw-w64-x86-64-dev libz-mingw-w64-dev googletest
                        libboost-dev nlohmann-json3-dev libssl-dev openssl) ;;
    wine64) packages+=(wine wine64 xvfb xauth) ;;
    wine32) want_i386=1; packages+=(wine wine32:i386 gcc-multilib xvfb xauth) ;;
    fuzz) packages+=(clang libclang-rt-14-dev) ;;
    browser) packages+=(chromium chromium-driver firefox-esr) ;;
    tests)
      add_group native; add_group windows; add_group wine64; add_group fuzz
      optional+=("chromium chromium-driver" firefox-esr)
      if "$here/can-run-i386.sh" 2>/dev/null; then add_group wine32; fi ;;
    *) echo "setup.sh: unknown group '$1' (see the comment at the top)" >&2; exit 2 ;;
  esac
}
for g in "${groups[@]}"; do add_group "$g"; done

need_update=0
if [ $want_i386 = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $SUDO dpkg --add-architecture i386
  need_update=1
fi

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
missing=()
for p in "${packages[@]}"; do
  if ! installed "$p"; then
    case " ${missing[*]-} " in *" $p "*) ;; *) missing+=("$p") ;; esac
  fi
done
optional_missing=()
for set in "${optional[@]+"${optional[@]}"}"; do
  for p in $set; do
    if ! installed "$p"; then optional_missing+=("$set"); break; fi
  done
done
[ ${#missing[@]} -eq 0 ] && [ ${#optional_missing[@]} -eq 0 ] && [ $need_update = 0 ] && exit 0

log=$(mktemp)
trap 'rm -f "$log"' EXIT
if ! $SUDO apt-get update -qq >"$log" 2>&1; then
  echo "setup: apt-get update failed for some package lists ($(grep -m1 -E '^(E|W):' "$log" | cut -c1-160)); carrying on with the lists it fetched"
fi

# install_set PACKAGE...: installs them, trying the release's own suite when
# the first attempt fails on mismatched versions.
install_set() {
  echo "setup: installing $*"
  if DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "$@" >"$log" 2>&1; then
    return 0
  fi
  local codename
  codename=$(. "${TORVEX_OS_RELEASE:-/etc/os-release}" && echo "${VERSION_CODENAME:-}")
  if [ -n "$codename" ] && grep -qE 'held broken packages|unmet dependencies|Depends:' "$log"; then
    echo "setup: install failed on mismatched versions; trying again from the release's own suite (-t $codename)"
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq -t "$codename" "$@" >"$log" 2>&1 &&
      return 0
  fi
  return 1
}

if [ ${#missing[@]} -gt 0 ] && ! install_set "${missing[@]}"; then
  tail -20 "$log" >&2
  echo "setup: could not install ${missing[*]}" >&2
  exit 1
fi
# Each optional set on its own: one browser that cannot be had leaves the other.
for set in "${optional_missing[@]+"${optional_missing[@]}"}"; do
  # shellcheck disable=SC2086 # a set is several package names
  if ! install_set $set; then
    echo "setup: optional $set not installed ($(grep -m1 -E '^(E|W):' "$log" | cut -c1-160)); the tests that need them are skipped"
  fi
done
exit 0
