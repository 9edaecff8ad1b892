#!/usr/bin/env bash
# Every copy of the version in a release build agrees with project(VERSION):
# the generated header, the program (--version; the window program's own
# text), the man page and the changelog, the package version; and the Windows
# version resource and manifest carry the one file version of
# cmake/Version.cmake. The window title, the start log line and request
# field 2 are checked where the program runs (the release window test: the
# reference server refuses any other field 2).
#
#   version-test.sh console|window BUILD_DIR VERSION FILE_VERSION PROGRAM
set -uo pipefail
kind=$1 build=$2 version=$3 file_version=$4 program=$5

failed=0
fail() { echo "FAILED: $*"; failed=1; }
agree() { # what, found
  if [ "$2" = "$version" ]; then echo "$1: $2"; else fail "$1 is \"$2\", not \"$version\""; fi
}

agree "generated header" "$(sed -n 's/^#define VU_VERSION_TEXT "\(.*\)"$/\1/p' "$build/generated/VuVersion.h")"
agree "package version" "$(sed -n 's/^set(CPACK_PACKAGE_VERSION "\(.*\)")$/\1/p' "$build/CPackConfig.cmake")"

case $kind in
console)
  out=$("$program" --version)
  agree "vantorelle-update --version" "${out#vantorelle-update }"
  agree "man page" "$(sed -n 's/^\.TH .*"vantorelle-update \([^"]*\)".*/\1/p' "$build/packaging/doc/vantorelle-update.1")"
  agree "changelog" "$(sed -n '1s/^vantorelle-update (\([^)]*\)).*/\1/p' "$build/packaging/doc/changelog")"
  ;;
window)
  # The text the title and the start log line are made from: UTF-16LE, then its terminator.
  wide=
  for ((i = 0; i < ${#version}; i++)); do
    c=${version:i:1}
    [ "$c" = . ] && c='\.'
    wide+="$c\\x00"
  done
  if [ "$(LC_ALL=C grep -c -aP "$wide\\x00\\x00" "$program")" -gt 0 ]; then
    echo "program's version text: $version"
  else
    fail "the program holds no version text \"$version\""
  fi
  # The version resource: the fixed part after its signature FEEF04BD, and the texts.
  at=$(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe' "$program" | head -n 1 | cut -d: -f1)
  if [ -z "$at" ]; then
    fail "no version resource"
  else
    read -r ms ls pms pls < <(od -An -tu4 -j $((at + 8)) -N16 "$program")
    fixed="$((ms >> 16)).$((ms & 65535)).$((ls >> 16)).$((ls & 65535))"
    product="$((pms >> 16)).$((pms & 65535)).$((pls >> 16)).$((pls & 65535))"
    [ "$fixed" = "$file_version" ] && [ "$product" = "$file_version" ] ||
      fail "version resource numbers $fixed / $product, not $file_version"
  fi
  for name in FileVersion ProductVersion; do
    text=$(strings -a -el "$program" | grep -A1 -x "$name" | sed -n 2p)
    [ "$text" = "$file_version" ] || fail "version resource $name is \"$text\", not \"$file_version\""
  done
  [ "$(strings -a "$program" | grep -c -F "name=\"TAVRIN.VantorelleUpdate\" version=\"$file_version\"")" -gt 0 ] ||
    fail "the manifest's assembly version is not $file_version"
  [ $failed -eq 0 ] && echo "version resource and manifest: $file_version"
  ;;
*) echo "usage: version-test.sh console|window BUILD_DIR VERSION FILE_VERSION PROGRAM"; exit 2 ;;
esac

exit $failed
