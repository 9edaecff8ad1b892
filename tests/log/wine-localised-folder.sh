#!/usr/bin/env bash
# The Windows console program copied into a folder whose name lies outside
# the ANSI code page, run under Wine: it runs to its end and its log.bin is
# beside it, holding the start line.
#
#   wine-localised-folder.sh TOOL_EXE WINE_RUN BUILD_DIR
set -uo pipefail
tool=$1 wine_run=$2 build=$3

work=$(mktemp -d /tmp/vu-localised.XXXXXX)
trap 'rm -rf "$work"' EXIT
# Cyrillic, Chinese and a character beyond 16 bits: no ANSI code page holds them all.
home="$work/Завантаження 下载 📥"
mkdir -p "$home"
cp "$tool" "$home/vantorelle-update.exe"

# The copy lives outside the build folder: name the Wine prefix it runs in.
export VU_WINE_BUILD_DIR=$build
# No server and no machine: the version query fails at once and the program
# ends normally, having logged.
export VANTORELLE_FIXED_SERVER=0.0.0.0 VANTORELLE_SIMULATOR=127.0.0.1:1
"$wine_run" "$home/vantorelle-update.exe" version-info >"$work/out" 2>&1
status=$?
tr -d '\r' <"$work/out"

ok=0
if [ "$status" -ne 1 ] || ! grep -q 'The update server sent no version information' "$work/out"; then
  echo "FAILED: the program did not run to its end (status $status)" >&2
  ok=1
fi
if [ ! -f "$home/log.bin" ]; then
  echo "FAILED: no log.bin beside the program" >&2
  ls -la "$work" "$home" >&2
  ok=1
elif ! grep -q ']TAVRIN Automatic Key Cutting Machine V1.4.1 start' "$home/log.bin"; then
  echo "FAILED: log.bin holds no start line" >&2
  cat "$home/log.bin" >&2
  ok=1
fi
[ $ok -eq 0 ] && echo "the program ran and logged from $home"
exit $ok
