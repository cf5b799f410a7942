#!/bin/bash
# tools/setup.sh against a package manager that misbehaves the way real
# mirrors do: fake apt-get, dpkg and dpkg-query on PATH record every call.
#   update-fails    `apt-get update` exits 100 (one list half-synced)
#   held-broken     `apt-get install` fails with "held broken packages"
#                   unless given -t <codename>
#   broken-always   install fails whatever the suite
#   no-firefox      an install that names firefox-esr fails (not in the lists)
set -uo pipefail
setup=$(cd "$(dirname "$0")/../../tools" && pwd)/setup.sh
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/bin"
cat >"$work/bin/apt-get" <<'F'
#!/bin/bash
echo "apt-get $*" >>"$FAKE_DIR/calls"
case " $* " in
  *" update "*)
    case " $FAKE_MODE " in *" update-fails "*)
      echo "E: Failed to fetch .../binary-i386/Packages.xz  File has unexpected size (1 != 2). Mirror sync in progress?" >&2
      exit 100 ;; esac
    exit 0 ;;
  *" install "*)
    case " $FAKE_MODE " in *" no-firefox "*)
      case " $* " in *" firefox-esr "*) echo "E: Unable to locate package firefox-esr" >&2; exit 100 ;; esac ;;
    esac
    case " $FAKE_MODE " in
      *" broken-always "*) echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100 ;;
      *" held-broken "*)
        case " $* " in *" -t testcodename "*) ;; *)
          echo "E: Unable to correct problems, you have held broken packages." >&2; exit 100 ;; esac ;;
    esac
    for a in "$@"; do case "$a" in -*|install|testcodename) ;; *) echo "$a" >>"$FAKE_DIR/installed" ;; esac; done
    exit 0 ;;
esac
F
cat >"$work/bin/dpkg-query" <<'F'
#!/bin/bash
pkg=${!#}
grep -qx "$pkg" "$FAKE_DIR/installed" 2>/dev/null && printf 'install ok installed' && exit 0
exit 1
F
cat >"$work/bin/dpkg" <<'F'
#!/bin/bash
echo "dpkg $*" >>"$FAKE_DIR/calls"
case "$1" in
  --print-foreign-architectures) cat "$FAKE_DIR/archs" 2>/dev/null ;;
  --add-architecture) echo "$2" >>"$FAKE_DIR/archs" ;;
esac
F
printf '#!/bin/sh\nexec "$@"\n' >"$work/bin/sudo"
chmod +x "$work/bin/"*
echo 'VERSION_CODENAME=testcodename' >"$work/os-release"

failures=0
# run NAME MODE EXPECTED_STATUS GROUPS...: a fresh fake machine per case
run() {
  local name=$1 mode=$2 want=$3; shift 3
  export FAKE_DIR=$work/$name FAKE_MODE=$mode
  mkdir -p "$FAKE_DIR"
  PATH=$work/bin:$PATH TORVEX_OS_RELEASE=$work/os-release "$setup" "$@" >"$FAKE_DIR/out" 2>&1
  local got=$?
  if [ "$got" != "$want" ]; then
    echo "FAIL $name: exit status $got, expected $want"; sed 's/^/  | /' "$FAKE_DIR/out"; failures=$((failures + 1))
  fi
}
expect() {  # expect NAME WHAT PATTERN FILE: FILE of case NAME must match PATTERN
  grep -qE -- "$3" "$work/$1/$4" || { echo "FAIL $1: $2 (no /$3/ in $4)"; sed 's/^/  | /' "$work/$1/$4"; failures=$((failures + 1)); }
}
refuse() {  # refuse NAME WHAT PATTERN FILE: FILE must not match PATTERN
  ! grep -qE -- "$3" "$work/$1/$4" 2>/dev/null || { echo "FAIL $1: $2"; failures=$((failures + 1)); }
}

run clean "" 0 native
expect clean "installs the native packages" '^apt-get install .*libgtest-dev' calls
refuse clean "never adds i386 for the native build" 'add-architecture' calls

run update-fails update-fails 0 native
expect update-fails "says in one line that the update failed" '^setup: apt-get update failed for some package lists' out
expect update-fails "installs all the same" '^apt-get install ' calls

run held-broken "update-fails held-broken" 0 wine32
expect held-broken "adds the i386 architecture" '^dpkg --add-architecture i386' calls
expect held-broken "retries from the release's own suite" '^apt-get install .* -t testcodename .*wine32:i386' calls
expect held-broken "says why it retries" 'trying again from the release.s own suite \(-t testcodename\)' out

run broken-always broken-always 1 native
expect broken-always "reports what it could not install" '^setup: could not install ' out

# One optional browser that cannot be had leaves the other and the set-up.
run no-firefox no-firefox 0 tests
expect no-firefox "installs Chromium and its driver" '^chromium-driver$' installed
expect no-firefox "names the browser it could not install" '^setup: optional firefox-esr not installed' out
refuse no-firefox "blames Chromium" 'optional chromium' out

# Nothing missing: no package manager at all.
export FAKE_DIR=$work/clean FAKE_MODE=""
: >"$FAKE_DIR/calls"
PATH=$work/bin:$PATH "$setup" native >/dev/null 2>&1 || { echo "FAIL again: exit status $?"; failures=$((failures + 1)); }
refuse clean "a second run with everything installed calls apt-get" 'apt-get' calls

run unknown "" 2 nosuchgroup

[ $failures -eq 0 ] && echo "setup.sh: all cases passed"
exit $((failures > 0))
