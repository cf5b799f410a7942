#!/bin/bash
# The driver image checksum tool on a small image it must stamp, and on every
# file too short to hold the checksum field (64 to 95 bytes, with a "PE"
# signature where its header says): each is refused, read within its bytes
# (the asan preset builds the tool with AddressSanitizer) and left as it was.
#
#   pe_checksum_test.sh <pe-checksum>
set -uo pipefail
tool=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

# A file of <size> zero bytes with "MZ", e_lfanew 0x40 and, where it fits,
# "PE\0\0" at 0x40.
image() {
  local file=$1 size=$2
  head -c "$size" /dev/zero >"$file"
  printf 'MZ' | dd of="$file" conv=notrunc status=none
  printf '\x40\x00\x00\x00' | dd of="$file" bs=1 seek=60 conv=notrunc status=none
  if ((size >= 0x44)); then
    printf 'PE\x00\x00' | dd of="$file" bs=1 seek=64 conv=notrunc status=none
  fi
}

# 160 bytes: the field (0x40 + 4 + 20 + 64 = 152) holds junk that counts as 0.
# Words: 0x5A4D ("MZ") + 0x0040 (e_lfanew) + 0x4550 ("PE") = 0x9FDD, plus the
# length 160 = 0xA07D.
image "$dir/good" 160
printf '\xff\xff\xff\xff' | dd of="$dir/good" bs=1 seek=152 conv=notrunc status=none
if ! "$tool" "$dir/good"; then
  fail "a well-formed image was refused"
fi
stamped=$(od -An -tx1 -j152 -N4 "$dir/good" | tr -d ' \n')
[[ $stamped == 7da00000 ]] || fail "checksum $stamped, expected 7da00000"
[[ $(stat -c %s "$dir/good") == 160 ]] || fail "the image changed size"

for ((size = 64; size < 96; ++size)); do
  image "$dir/short" "$size"
  cp "$dir/short" "$dir/before"
  out=$("$tool" "$dir/short" 2>&1)
  rc=$?
  if ((rc != 1)) || [[ $out != *"is not a PE image"* ]] || [[ $out == *Sanitizer* ]]; then
    fail "$size bytes: exit $rc: $out"
  fi
  cmp -s "$dir/short" "$dir/before" || fail "$size bytes: the file was changed"
done

out=$("$tool" "$dir/missing" 2>&1) && fail "a missing file was accepted"
((failures == 0)) && echo "pe-checksum: all cases passed"
exit $((failures != 0))
