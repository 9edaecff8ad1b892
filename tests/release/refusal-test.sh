#!/usr/bin/env bash
# The release presets refuse to configure unless the three endpoints are
# given, and take loopback ones only when VU_LOOPBACK_ENDPOINTS asks for them;
# the maker's way, a cache file kept outside the repository, configures.
#
#   refusal-test.sh SOURCE_DIR
set -uo pipefail
source=$1

work=$(mktemp -d /tmp/vu-refusal.XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0
n=0

real=(-DVU_FIXED_SERVER=203.0.113.10 -DVU_SERVER_NAME=update.example.com
      -DVU_ADDRESS_PAGE=http://www.example.com/forum/getip.php)

# case PRESET EXPECT(refused|configured) TEXT_IN_OUTPUT -D...
case_() {
  local preset=$1 expect=$2 text=$3 dir got
  shift 3
  n=$((n + 1))
  dir=$work/$n
  if cmake --preset "$preset" -S "$source" -B "$dir" "$@" >"$dir.out" 2>&1; then got=configured; else got=refused; fi
  if [ "$got" != "$expect" ] || ! tr -s ' \n' ' ' <"$dir.out" | grep -q -F -- "$text"; then
    echo "FAILED: $preset $*: $got, expected $expect with \"$text\""
    sed 's/^/  /' "$dir.out" | tail -n 15
    failed=1
  else
    echo "ok: $preset ${*:-(no endpoints)}: $got"
  fi
  rm -rf "$dir"
}

cat >"$work/maker.cmake" <<'EOF'
set(VU_FIXED_SERVER "203.0.113.10" CACHE STRING "")
set(VU_SERVER_NAME "update.example.com" CACHE STRING "")
set(VU_ADDRESS_PAGE "http://www.example.com/forum/getip.php" CACHE STRING "")
EOF

for preset in native-release win32-release; do
  case_ $preset refused "no value for VU_FIXED_SERVER, VU_SERVER_NAME, VU_ADDRESS_PAGE"
  case_ $preset refused "no value for VU_ADDRESS_PAGE" "${real[@]:0:2}"
  case_ $preset refused "VU_FIXED_SERVER, VU_SERVER_NAME, VU_ADDRESS_PAGE name this computer (loopback)" \
    -DVU_FIXED_SERVER=127.0.0.1 -DVU_SERVER_NAME=localhost -DVU_ADDRESS_PAGE=http://127.0.0.1:8006/forum/getip.php
  case_ $preset refused "VU_ADDRESS_PAGE name this computer" "${real[@]:0:2}" \
    -DVU_ADDRESS_PAGE=http://localhost/forum/getip.php
  case_ $preset refused "VU_SERVER_NAME name this computer" "${real[@]}" -DVU_SERVER_NAME=127.1.2.3
  case_ $preset refused "is not a dotted IPv4 address" "${real[@]}" -DVU_FIXED_SERVER=update.example.com
  case_ $preset refused "is not a dotted IPv4 address" "${real[@]}" -DVU_FIXED_SERVER=0.0.0.0
  case_ $preset refused "is not a dotted IPv4 address" "${real[@]}" -DVU_FIXED_SERVER=203.0.113.256
  case_ $preset refused "is not http://HOST[:PORT]/forum/getip.php" "${real[@]}" \
    -DVU_ADDRESS_PAGE=https://www.example.com/getip.php
  case_ $preset configured "Build files have been written" -C "$work/maker.cmake"
done
# Loopback asked for by name configures, and says what it is.
case_ native-release configured "loopback endpoints (VU_LOOPBACK_ENDPOINTS): for tests, never to be shipped" \
  -DVU_FIXED_SERVER=127.0.0.1 -DVU_SERVER_NAME=localhost -DVU_ADDRESS_PAGE=http://127.0.0.1:8006/forum/getip.php \
  -DVU_LOOPBACK_ENDPOINTS=ON

exit $failed
