#!/usr/bin/env bash
# Checks of the Windows images that need no Windows to run them, read with
# the mingw-w64 binutils:
#   check-pe.sh format   OBJDUMP ARCH IMAGE...       PE32 i386 (i686) or PE32+ x86-64
#   check-pe.sh exports  OBJDUMP ARCH PROGRAM DLL    the DLL exports, undecorated, every
#                                                    driver function the program asks for by name
#   check-pe.sh imports  OBJDUMP ARCH IMAGE...       only DLLs that every Windows has
#   check-pe.sh resources OBJDUMP ARCH PROGRAM       manifest and version resource embedded
set -uo pipefail
mode=$1 objdump=$2 arch=$3
shift 3
objcopy=${objdump%objdump}objcopy
failed=0
fail() { echo "FAIL: $*"; failed=1; }

case $arch in
  i686) format=pei-i386 magic='(PE32)' manifest_arch=x86 ;;
  x86_64) format=pei-x86-64 magic='(PE32+)' manifest_arch=amd64 ;;
  *) echo "unknown architecture $arch"; exit 2 ;;
esac

# DLLs of a stock Windows 7 or later; anything else would have to ship beside the program.
system_dlls='^(advapi32|comctl32|comdlg32|gdi32|kernel32|msvcrt|ole32|oleaut32|rpcrt4|shell32|shlwapi|user32|version|winmm|wininet|ws2_32|bcrypt|crypt32|secur32|iphlpapi)\.dll$'

case $mode in
format)
  for image in "$@"; do
    head=$("$objdump" -f "$image") || { fail "$image: not readable"; continue; }
    grep -q "file format $format\$" <<<"$head" || fail "$image: $(grep -o 'file format .*' <<<"$head"), want $format"
    grep -qF "$magic" <<<"$("$objdump" -p "$image" | grep '^Magic')" || fail "$image: not a $magic image"
    echo "$(basename "$image"): $format $magic"
  done
  ;;
exports)
  program=$1 dll=$2
  # The loader binds the driver by GetProcAddress, so the names sit in the program as plain strings.
  wanted=$(strings -a "$program" | grep -E '^FT_[A-Za-z]+$' | sort -u)
  [ -n "$wanted" ] || fail "$program asks for no FT_ function by name"
  exported=$("$objdump" -p "$dll" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort -u)
  for name in $wanted; do
    grep -qx "$name" <<<"$exported" || fail "$(basename "$dll") does not export $name"
  done
  decorated=$(grep -E '@|^_' <<<"$exported")
  [ -z "$decorated" ] || fail "decorated exports: $decorated"
  echo "asked for: $(echo $wanted)"
  echo "exported:  $(echo $exported)"
  ;;
imports)
  for image in "$@"; do
    dlls=$("$objdump" -p "$image" | sed -n 's/^\s*DLL Name: //p')
    [ -n "$dlls" ] || fail "$image: no import table found"
    for dll in $dlls; do
      grep -qiE "$system_dlls" <<<"$dll" || fail "$(basename "$image") imports $dll, which a stock Windows lacks"
    done
    echo "$(basename "$image") imports: $(echo $dlls)"
  done
  ;;
resources)
  program=$1
  # Top-level entries of the resource directory are resource types: 16 version, 24 manifest.
  types=$("$objdump" -p "$program" | sed -n '/The .rsrc Resource Directory/,/^$/p' \
    | sed -n 's/^[0-9a-f]*   Entry: ID: 0x0*\([0-9a-f]*\),.*/\1/p')
  grep -qx 10 <<<"$types" || fail "no version resource"
  grep -qx 18 <<<"$types" || fail "no manifest resource"
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  "$objcopy" -O binary --only-section=.rsrc "$program" "$work/rsrc" || fail "no .rsrc section"
  text=$(strings -a "$work/rsrc")
  grep -q 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' <<<"$(tr -s ' \n' ' ' <<<"$text")" \
    || fail "the manifest does not ask for the version 6 common controls"
  grep -q 'requestedExecutionLevel level="asInvoker"' <<<"$text" || fail "the manifest does not run as invoker"
  # An architecture in the manifest must be the program's own, or Windows refuses to start it.
  while read -r a; do
    [ "$a" = '*' ] || [ "$a" = "$manifest_arch" ] || fail "manifest names processorArchitecture $a in a $arch program"
  done < <(grep -o 'processorArchitecture="[^"]*"' <<<"$text" | cut -d'"' -f2 | sort -u)
  wide=$(strings -a -el "$work/rsrc")
  for key in FileVersion ProductVersion ProductName FileDescription; do
    grep -qx "$key" <<<"$wide" || fail "the version resource has no $key"
  done
  echo "resource types: $(echo $types); manifest and version resource present"
  ;;
*)
  echo "unknown mode $mode"; exit 2 ;;
esac
exit $failed
