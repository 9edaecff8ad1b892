#!/bin/sh
# Starts the shipped VantorelleUpdate.exe under Wine on the display, waits for
# its window, saves a picture of it as PNG and checks the run's first log line.
#   exe-screenshot.sh EXE WINE-RUN BUILD-DIR OUT.png VERSION
set -u
exe=$1 winerun=$2 build=$3 out=$4 version=$5
title="TAVRIN Automatic Key Cutting Machine On line Update Tool V$version"

[ -n "${DISPLAY:-}" ] || { echo "no display: start Xvfb and set DISPLAY"; exit 77; }
for tool in import xwininfo; do
  command -v $tool >/dev/null || { echo "$tool is missing"; exit 77; }
done

work=$(mktemp -d)
pid=
cleanup() {
  [ -n "$pid" ] && kill "$pid" 2>/dev/null && wait "$pid" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
cp "$exe" "$work/"    # the log goes beside the program

# No server and no machine here: the window just opens and asks once.
VU_WINE_BUILD_DIR=$build VANTORELLE_FIXED_SERVER=127.254.0.1 VANTORELLE_SERVER_NAME=127.254.0.1 \
  VANTORELLE_ADDRESS_PAGE= VANTORELLE_SIMULATOR= "$winerun" "$work/VantorelleUpdate.exe" &
pid=$!

window=
for _ in $(seq 1 300); do
  window=$(xwininfo -root -tree 2>/dev/null | grep -F "\"$title\"" | awk '{print $1}' | head -n 1)
  [ -n "$window" ] && break
  kill -0 "$pid" 2>/dev/null || { echo "VantorelleUpdate.exe ended before its window appeared"; exit 1; }
  sleep 0.1
done
[ -n "$window" ] || { echo "no window titled \"$title\""; exit 1; }
sleep 2   # let the version query end and the window settle
import -window "$window" "$out" || { echo "import failed"; exit 1; }
echo "screenshot: $out"

first=$(head -n 1 "$work/log.bin" | tr -d '\r')
case $first in
  *"]TAVRIN Automatic Key Cutting Machine V$version start") ;;
  *) echo "first log line: $first"; exit 1 ;;
esac
