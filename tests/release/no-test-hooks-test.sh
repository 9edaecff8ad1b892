#!/usr/bin/env bash
# The release program holds none of the test hooks: no name of an environment
# variable that could move its endpoints or its machine (as 8-bit or UTF-16LE
# text), and no test seam in the libraries it is linked from. Its own
# built-in endpoint must be found, so the scan is known to see its texts.
#
#   no-test-hooks-test.sh PROGRAM BUILD_DIR BUILT_IN_FIXED_SERVER
set -uo pipefail
program=$1 build=$2 fixed=$3

failed=0
fail() { echo "FAILED: $*"; failed=1; }

# A grep -P pattern of TEXT's bytes, 8-bit (narrow) or UTF-16LE (wide).
pattern() {
  local text=$1 form=$2 out= i c
  for ((i = 0; i < ${#text}; i++)); do
    printf -v c '\\x%02x' "'${text:i:1}"
    out+=$c
    [ "$form" = wide ] && out+='\x00'
  done
  echo "$out"
}
has() { [ "$(LC_ALL=C grep -c -aP -- "$1" "$program")" -gt 0 ]; }

# Whether the program holds TEXT, 8-bit or UTF-16LE: as a whole, or as every
# 4-byte piece of it from its start, since an optimising compiler builds a
# short text with stores of immediate values, 4 or 8 bytes at a time.
holds() {
  local text=$1 form chars i all
  for form in narrow wide; do
    has "$(pattern "$text" $form)" && return 0
    chars=4
    [ $form = wide ] && chars=2
    all=1
    for ((i = 0; i + chars <= ${#text}; i += chars)); do
      has "$(pattern "${text:i:chars}" $form)" || { all=0; break; }
    done
    [ $all = 1 ] && [ ${#text} -ge $((2 * chars)) ] && return 0
  done
  return 1
}

holds "$fixed" || fail "the built-in endpoint $fixed is not found: the scan sees nothing"

for name in VANTORELLE_FIXED_SERVER VANTORELLE_SERVER_NAME VANTORELLE_ADDRESS_PAGE VANTORELLE_SIMULATOR \
  VANTORELLE_; do
  holds "$name" && fail "the program holds \"$name\""
done

# The seams exist for tests only; the libraries the program is linked from
# (not stripped) must not define them.
seams=$(find "$build" -name 'libvu_*.a' -not -path '*/tests/*' -exec nm -C --defined-only {} + 2>/dev/null |
  grep -E 'ForTesting|TestHooks' | sort -u)
[ -z "$seams" ] || { fail "test seams in the product's libraries:"; echo "$seams" | head -n 10 | sed 's/^/  /'; }

[ $failed -eq 0 ] && echo "no test hooks in $(basename "$program")"
exit $failed
