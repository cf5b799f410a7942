#!/bin/bash
# libtorvex.so carries the SAT path alone: no symbol that the class library
# (runtime/, under the component library) defines is defined in it too.
# (The component library itself is built for Windows only.)
# Usage: check-so.sh <libtorvex.so> <class library archive>...
set -u
so=$1
shift
[ -f "$so" ] || { echo "FAIL: no library at $so"; exit 1; }
# Strong definitions (text, data, read-only data, bss) of the archives; weak
# ones are inline functions and templates that any unit may hold a copy of.
# In the library, every definition: its own are hidden (local) there.
strong() { nm --defined-only "$@" 2>/dev/null | awk 'NF == 3 && $2 ~ /^[TDRB]$/ { print $3 }' | sort -u; }
defined() { nm --defined-only "$1" 2>/dev/null | awk 'NF == 3 && $2 ~ /^[TtDdRrBb]$/ { print $3 }' | sort -u; }
shared=$(comm -12 <(defined "$so") <(strong "$@"))
if [ -n "$shared" ]; then
  echo "FAIL: $so defines symbols of the class library:"
  echo "$shared" | head -20
  echo "The SAT path (sat/) must not link the class or component library; code the form"
  echo "needs goes in form/ (Windows) and reaches the SAT path through sat/seam/sat_seam.h."
  exit 1
fi
echo "ok: $(defined "$so" | wc -l) symbols of $so, none of the class library"
