#!/bin/bash
# The include layering of the tree: which room may include which. Run by the
# test command (ctest: tools.layers); fails with what to do.
#
#   tools/check-layers.sh [SOURCE_DIR]
#
# The library's rooms stand in two towers on the ground ("a <- b": b may
# include a), with the device form on both:
#
#   runtime <- vavevi <- form -> sat (only its seam, sat/seam/, and torvex.h)
#
# runtime/ (the class library) includes itself only and names none of its
# users (their export macro, unit places, classes); vavevi/ (the component
# library) stands on runtime/; sat/ (the SAT path) includes only itself; form/
# (the device form) stands on the component library and reaches the SAT path
# only through its seam, sat/seam/sat_seam.h, and the public torvex.h. The
# programs (hub/, tools/) see the library only through torvex.h. Tests may
# include what their room may, the test helpers under tests/, and, for sat's
# own tests and for the benchmark that switches it between direct and remote
# mode within one process (bench/remote), sat's internals.
set -u
root=$(cd "${1:-$(dirname "$0")/..}" && pwd)
cd "$root"

# room: what its files may include besides their own room. "sat/seam" and
# "torvex.h" name single parts of sat/; "tests" any test helper.
rules='
runtime:
vavevi: runtime
sat:
form: sat/seam torvex.h vavevi runtime
hub: torvex.h
tools/satcli: torvex.h
tools/satemu:
bench: torvex.h vavevi runtime tests
bench/remote: torvex.h sat tests
tests/sat: tests sat tools/satcli
tests/remote: tests sat
tests/fuzz: tests sat runtime hub
tests/form: tests sat/seam torvex.h form vavevi runtime
tests/runtime: tests runtime
tests/vavevi: tests vavevi runtime
tests/hub: tests hub torvex.h
tests/satcli: tests tools/satcli torvex.h
tests/satemu: tests tools/satemu
tests/header: torvex.h
'
rooms=$(echo "$rules" | sed -n 's/^\([^:]*\):.*/\1/p')

# One awk program reads every source's includes: a header is looked up
# beside the including file first, then by its name (with any folders)
# among the tree's headers; system and third-party headers are not checked.
find $rooms \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) 2>/dev/null | sort |
awk -v rules="$rules" '
function room_of(path,   r, best) {
  best = ""
  for (r in may) if (index(path, r "/") == 1 && length(r) > length(best)) best = r
  return best
}
function part_of(path,   r) {
  if (index(path, "sat/seam/") == 1) return "sat/seam"
  if (path == "sat/torvex.h") return "torvex.h"
  r = room_of(path)
  if (r == "" && index(path, "tests/") == 1) return "tests"
  return r
}
function allowed(room, part,   n, list, i, m) {
  if (part == room) return 1
  if (room == "sat" && (part == "sat/seam" || part == "torvex.h")) return 1
  n = split(may[room], list, " ")
  for (i = 1; i <= n; i++) {
    m = list[i]
    if (part == m) return 1
    if (m == "sat" && (part == "sat/seam" || part == "torvex.h")) return 1
    if (m == "tests" && (part == "tests" || index(part, "tests/") == 1)) return 1
  }
  return 0
}
function normal(path,   n, parts, out, i, k) {  # folds "." and ".."
  n = split(path, parts, "/")
  k = 0
  for (i = 1; i <= n; i++) {
    if (parts[i] == "." || parts[i] == "") continue
    if (parts[i] == ".." && k > 0) { k--; continue }
    out[++k] = parts[i]
  }
  path = ""
  for (i = 1; i <= k; i++) path = path (i > 1 ? "/" : "") out[i]
  return path
}
function resolve(file, name,   dir, here, h, found, n, pick) {
  dir = file; sub(/\/[^\/]*$/, "", dir)
  here = normal(dir "/" name)
  if (here in isHeader) return here
  n = 0
  for (h in isHeader)
    if (h == name || substr(h, length(h) - length(name)) == "/" name) { n++; found[n] = h }
  if (n == 1) return found[1]
  pick = ""
  for (h = 1; h <= n; h++) if (room_of(found[h]) == room_of(file)) pick = found[h]
  return pick
}
BEGIN {
  n = split(rules, lines, "\n")
  for (i = 1; i <= n; i++) {
    if (lines[i] !~ /:/) continue
    r = lines[i]; sub(/:.*/, "", r)
    m = lines[i]; sub(/^[^:]*: */, "", m)
    may[r] = m
  }
}
{ files[++count] = $0; if ($0 ~ /\.h$/) isHeader[$0] = 1 }
END {
  bad = 0
  for (f = 1; f <= count; f++) {
    file = files[f]
    room = room_of(file)
    if (room == "") continue
    while ((getline line < file) > 0) {
      if (line !~ /^[ \t]*#[ \t]*include[ \t]*[<"]/) continue
      name = line
      sub(/^[ \t]*#[ \t]*include[ \t]*[<"]/, "", name)
      sub(/[>"].*/, "", name)
      header = resolve(file, name)
      if (header == "") continue
      part = part_of(header)
      if (!allowed(room, part)) {
        printf "%s includes \"%s\" (%s, room %s): %s/ may include only %s/ %s\n",
               file, name, header, part, room, room, may[room]
        bad = 1
      }
    }
    close(file)
  }
  exit bad
}'
status=$?
if [ $status -ne 0 ]; then
  cat <<'TEXT'

What to do: reach the other room through what it offers (the device form
reaches the SAT path only through sat/seam/sat_seam.h and torvex.h; programs
use torvex.h), or move the code into the room that may see both. A new
dependency that the design wants: change the rules at the top of
tools/check-layers.sh and the towers in docs/architecture.md in the same commit.
TEXT
  exit 1
fi
# The class library does not name its users: the names of the libraries
# built on it (their export macro, unit places and classes) live with them.
users=$(grep -nE 'VAVEVI|kUnitVavevi|\bTnr[A-Z]|torvex\.dll' runtime/*.h runtime/*.cpp 2>/dev/null)
if [ -n "$users" ]; then
  echo "$users"
  echo
  echo "What to do: runtime/ names a library built on it (lines above). Keep such"
  echo "names in that library's own headers (vavevi/nrexport.h, vavevi/nrunits.h)."
  exit 1
fi
echo "ok: every include follows the layering; runtime/ names none of its users"
