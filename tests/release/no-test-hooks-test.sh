#!/usr/bin/env bash
# The release program holds none of the test hooks: no name of an environment
# variable that could move its endpoints or its machine (as 8-bit or UTF-16LE
# text), no development default endpoint, and no test seam in the libraries it
# is linked from. Its own built-in endpoint must be found, so the scan is
# known to see the program's texts.
#
#   no-test-hooks-test.sh PROGRAM BUILD_DIR BUILT_IN_FIXED_SERVER
set -uo pipefail
program=$1 build=$2 fixed=$3

failed=0
fail() { echo "FAILED: $*"; failed=1; }

# Counts TEXT in the program as 8-bit text and as UTF-16LE.
count() {
  local text=$1 wide= i c
  for ((i = 0; i < ${#text}; i++)); do
    c=${text:i:1}
    case $c in [.\\/:\[\]\(\)*+?]) c="\\$c" ;; esac
    wide+="$c\\x00"
  done
  echo $(($(LC_ALL=C grep -c -aF -- "$text" "$program") + $(LC_ALL=C grep -c -aP -- "$wide" "$program")))
}

[ "$(count "$fixed")" -gt 0 ] || fail "the built-in endpoint $fixed is not found: the scan sees nothing"

for name in VANTORELLE_FIXED_SERVER VANTORELLE_SERVER_NAME VANTORELLE_ADDRESS_PAGE VANTORELLE_SIMULATOR \
  VANTORELLE_; do
  [ "$(count "$name")" -eq 0 ] || fail "the program holds \"$name\""
done
for text in "127.0.0.1:8006/forum/getip.php" "localhost"; do
  [ "$(count "$text")" -eq 0 ] || fail "the program holds the development default \"$text\""
done

# The seams exist for tests only; the libraries the program is linked from
# (not stripped) must not define them.
seams=$(find "$build" -name 'libvu_*.a' -not -path '*/tests/*' -exec nm -C --defined-only {} + 2>/dev/null |
  grep -E 'ForTesting|TestHooks' | sort -u)
[ -z "$seams" ] || { fail "test seams in the product's libraries:"; echo "$seams" | head -n 10 | sed 's/^/  /'; }

[ $failed -eq 0 ] && echo "no test hooks in $(basename "$program")"
exit $failed
