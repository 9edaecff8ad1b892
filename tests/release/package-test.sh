#!/usr/bin/env bash
# Builds the release package with CPack into a scratch folder and checks it:
# exactly the files that ship, cmake --install laying out the same files with
# the same bytes, and the program in it starting.
#   deb: the Debian package's fields and maintainer scripts, lintian without
#        errors, the package unpacked into a scratch root (never the
#        machine's own dpkg database) and its vantorelle-update --version run
#   zip: the Windows zip's files, the program in it equal to the build's
#
#   package-test.sh deb|zip BUILD_DIR VERSION PROGRAM
set -uo pipefail
kind=$1 build=$2 version=$3 program=$4

work=$(mktemp -d /tmp/vu-package.XXXXXX)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAILED: $*"; failed=1; }

# Regular files and links under a folder, as sorted relative paths.
files_under() { (cd "$1" && find . \( -type f -o -type l \) | sed 's|^\./||' | LC_ALL=C sort); }

# The same list in two places, with the same bytes.
same_files() {
  local a=$1 b=$2 what=$3 f
  if ! diff <(files_under "$a") <(files_under "$b") >"$work/diff"; then
    fail "$what: other files than the package's"; sed 's/^/  /' "$work/diff"; return
  fi
  while read -r f; do
    cmp -s "$a/$f" "$b/$f" || fail "$what: $f differs from the package's"
  done < <(files_under "$a")
}

if ! cpack --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"; echo "FAILED: cpack"; exit 1
fi

case $kind in
deb)
  debs=("$work"/out/*.deb)
  [ ${#debs[@]} -eq 1 ] && [ -f "${debs[0]}" ] || { ls "$work/out"; echo "FAILED: not one .deb"; exit 1; }
  deb=${debs[0]}
  echo "package: $(basename "$deb")"
  case $(basename "$deb") in vantorelle-update_${version}_*.deb) ;; *) fail "file name without version $version" ;; esac

  for field in Package=vantorelle-update Version="$version" Section=utils; do
    got=$(dpkg-deb -f "$deb" "${field%%=*}")
    [ "$got" = "${field#*=}" ] || fail "${field%%=*} is \"$got\", not \"${field#*=}\""
  done
  dpkg-deb -f "$deb" Depends | grep -q 'libftdi1-2' || fail "Depends does not name libftdi1-2"

  root=$work/root
  dpkg-deb -x "$deb" "$root" || fail "dpkg-deb -x"
  expected="usr/bin/vantorelle-update
usr/lib/udev/rules.d/99-vantorelle-ftdi.rules
usr/share/doc/vantorelle-update/changelog.gz
usr/share/doc/vantorelle-update/copyright
usr/share/man/man1/vantorelle-update.1.gz"
  diff <(echo "$expected") <(files_under "$root") >"$work/diff" ||
    { fail "the package's files"; sed 's/^/  /' "$work/diff"; }
  cmp -s "$root/usr/bin/vantorelle-update" "$program" || fail "the packaged program is not the build's"
  [ "$(stat -c %a "$root/usr/bin/vantorelle-update")" = 755 ] || fail "the program is not mode 755"

  dpkg-deb -e "$deb" "$work/control"
  [ -x "$work/control/postinst" ] || fail "no executable postinst"
  grep -q 'udevadm control --reload-rules' "$work/control/postinst" || fail "postinst does not reload the udev rules"
  sh -n "$work/control/postinst" && sh -n "$work/control/postrm" || fail "a maintainer script does not parse"

  out=$("$root/usr/bin/vantorelle-update" --version 2>&1)
  [ "$out" = "vantorelle-update $version" ] || fail "--version of the unpacked program says \"$out\""
  echo "unpacked into a scratch root: $out"

  # Only errors fail; lintian's complaint about running as root is no finding.
  if ! lintian --fail-on error "$deb" >"$work/lintian" 2>&1; then
    grep -v 'running with root privileges' "$work/lintian"; fail "lintian reports errors"
  else
    echo "lintian: no errors, $(grep -c '^W:' "$work/lintian") warnings"
  fi

  DESTDIR=$work/installed cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "cmake --install"; }
  same_files "$root" "$work/installed" "cmake --install"
  ;;
zip)
  zips=("$work"/out/*.zip)
  [ ${#zips[@]} -eq 1 ] && [ -f "${zips[0]}" ] || { ls "$work/out"; echo "FAILED: not one .zip"; exit 1; }
  zip=${zips[0]}
  top=$(basename "$zip" .zip)
  echo "package: $top.zip"
  case $top in VantorelleUpdate-${version}-win32*) ;; *) fail "zip name is not VantorelleUpdate-$version-win32" ;; esac

  mkdir -p "$work/unzipped"
  (cd "$work/unzipped" && cmake -E tar xf "$zip") || fail "the zip does not unpack"
  expected="$top/README.txt
$top/THIRD-PARTY-NOTICES.txt
$top/VantorelleUpdate.exe"
  diff <(echo "$expected") <(files_under "$work/unzipped") >"$work/diff" ||
    { fail "the zip's files"; sed 's/^/  /' "$work/diff"; }
  cmp -s "$work/unzipped/$top/VantorelleUpdate.exe" "$program" || fail "the zipped program is not the build's"
  readme=$work/unzipped/$top/README.txt
  head -n 1 "$readme" | grep -q "version $version" || fail "README.txt does not name version $version"
  grep -q "FTDI" "$readme" || fail "README.txt says nothing of the FTDI driver"
  [ "$(grep -c $'\r$' "$readme")" -eq "$(wc -l <"$readme")" ] || fail "README.txt has lines without CR LF"
  grep -q "winpthreads" "$work/unzipped/$top/THIRD-PARTY-NOTICES.txt" || fail "the notices lack winpthreads"

  cmake --install "$build" --prefix "$work/installed" >"$work/install.log" 2>&1 ||
    { cat "$work/install.log"; fail "cmake --install"; }
  same_files "$work/unzipped/$top" "$work/installed" "cmake --install"
  ;;
*) echo "usage: package-test.sh deb|zip BUILD_DIR VERSION PROGRAM"; exit 2 ;;
esac

[ $failed -eq 0 ] && echo "package checks passed"
exit $failed
