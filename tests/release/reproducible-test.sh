#!/usr/bin/env bash
# Builds the shipped program a second time from a copy of the same sources in
# another folder, at another path length, in another time zone and without the
# compiler cache (a cached object would hide a path it carries), and checks
# that the two programs are byte-identical.
#
#   reproducible-test.sh PRESET SOURCE_DIR TARGET PROGRAM [-DNAME=VALUE...]
# PROGRAM is the first build's program; the second is TARGET's file in the
# copy's build, configured with PRESET and the -D values given.
set -uo pipefail
preset=$1 source=$2 target=$3 program=$4
shift 4

work=$(mktemp -d /tmp/vu-reproducible.XXXXXX)
trap 'rm -rf "$work"' EXIT
copy=$work/another/checkout-of-the-same-sources
mkdir -p "$copy"

# The sources as git sees them (committed or not, ignored files left out).
git -C "$source" ls-files -z --cached --others --exclude-standard |
  (cd "$source" && xargs -0 tar -cf - --no-recursion 2>/dev/null) | tar -xf - -C "$copy" ||
  { echo "FAILED: could not copy the sources"; exit 1; }

other=$work/b
echo "second build: preset $preset in $other, without the compiler cache"
if ! (export CCACHE_DISABLE=1 TZ=Pacific/Kiritimati LC_ALL=C.UTF-8
      cmake --preset "$preset" -S "$copy" -B "$other" "$@" >"$work/configure.log" 2>&1 &&
      nice -n 5 cmake --build "$other" --target "$target" >"$work/build.log" 2>&1); then
  tail -n 30 "$work/configure.log" "$work/build.log"
  echo "FAILED: the second build failed"
  exit 1
fi

second=$(find "$other" -name "$(basename "$program")" -type f -path "*/$(basename "$(dirname "$program")")/*" | head -n 1)
[ -n "$second" ] || { echo "FAILED: the second build made no $(basename "$program")"; exit 1; }
if cmp -s "$program" "$second"; then
  echo "identical: $(basename "$program") $(sha256sum <"$program" | cut -c1-16)... ($(stat -c %s "$program") bytes)"
  exit 0
fi
echo "FAILED: $(basename "$program") differs between the two builds"
echo "first:  $program"
echo "second: $second"
cmp -l "$program" "$second" | wc -l | sed 's/^/bytes that differ: /'
cmp -l "$program" "$second" | head -n 10
strings -a "$second" | grep -F -e "$work" -e "$source" | head -n 5 | sed 's/^/build path in the program: /'
exit 1
