#!/usr/bin/env bash
# The unmodified VantorelleUpdate.exe under Wine with the FTD2XX.dll stand-in
# beside it: the dialog driver presses "Update Online" and waits for the final
# status; the machine's storage is compared with the served content, the
# title and the first log line with the version.
#
#   wine-update.sh BITS EXE DLL DRIVER_EXE WINE_RUN SERVER SIMULATOR VERSION [ADDRESS PAGE_URL]
# BITS (32 or 64) says which build the program comes from. The server and the
# simulator are native programs (the native build's).
# With ADDRESS and PAGE_URL, the program is a release build with these
# endpoints built in: the server listens there, and the endpoint variables
# point at nothing, so the run passes only if the program ignores them.
set -uo pipefail
bits=$1 exe=$2 dll=$3 driver=$4 wine_run=$5 server=$6 sim=$7 version=$8 built_in=${9:-} built_in_page=${10:-}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/e2e-lib.sh"

for f in "$exe" "$dll" "$driver" "$server" "$sim"; do
  if [ ! -x "$f" ] && [ ! -f "$f" ]; then
    echo "wine-update: $f is missing (the native build provides the server and the simulator)" >&2
    exit 1
  fi
done

work=$(mktemp -d /tmp/vu-e2e-wine.XXXXXX)
xvfb_pid=
cleanup() {
  e2e_stop_all
  [ -n "$xvfb_pid" ] && e2e_stop "$xvfb_pid"
  rm -rf "$work"
}
trap cleanup EXIT

# A display of our own when there is none (scripts/test exports one).
if [ -z "${DISPLAY:-}" ]; then
  for d in $(seq 110 130); do
    [ -e /tmp/.X11-unix/X$d ] || [ -e /tmp/.X$d-lock ] || { display=:$d; break; }
  done
  Xvfb "$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  export DISPLAY=$display
  e2e_wait_for "[ -e /tmp/.X11-unix/X${display#:} ]" 10
fi

e2e_make_content "$server" "$work/content" 9000 70000 V2.40 || exit 1
if [ -n "$built_in" ]; then
  address=$built_in
  e2e_start_server_built_in "$server" "$address" "$built_in_page" "$work/content" "$work/server.log" || exit 1
else
  address=$(e2e_pick_address 20)
  e2e_start_server "$server" "$address" "$work/content" "$work/server.log" || exit 1
fi
e2e_start_sim "$sim" "$work/machine" "$work/sim.log" || exit 1
e2e_say "wine: server $address, machine $E2E_SIM_ADDRESS, the ${bits}-bit program"

# The program and the stand-in side by side, as an installation would have them.
mkdir -p "$work/app"
cp "$exe" "$work/app/VantorelleUpdate.exe"
cp "$dll" "$work/app/FTD2XX.dll"
cp "$driver" "$work/app/DialogDriver.exe"

# The product must find the machine through FTD2XX.dll, so VANTORELLE_SIMULATOR
# (its own simulator driver) stays unset; the stand-in has its own variable.
unset VANTORELLE_SIMULATOR
export VANTORELLE_STANDIN_SIMULATOR=$E2E_SIM_ADDRESS
if [ -n "$built_in" ]; then
  e2e_say "release program: endpoints built in ($address), the test variables point at nothing"
  e2e_export_dead_tool_env
else
  export VANTORELLE_FIXED_SERVER=$address VANTORELLE_SERVER_NAME=$address VANTORELLE_ADDRESS_PAGE=$E2E_PAGE_URL
fi
# The prefix of the build the program came from, made once by wine-run.
export VU_WINE_BUILD_DIR=${VU_WINE_BUILD_DIR:-$(cd "$(dirname "$exe")" && while [ ! -f CMakeCache.txt ] && [ "$PWD" != / ]; do cd ..; done; pwd)}

"$wine_run" "$work/app/DialogDriver.exe" 'Z:'"$(echo "$work/app/VantorelleUpdate.exe" | tr / '\\')" 300 \
  2>&1 | tr -d '\r' | tee "$work/driver.out"
status=${PIPESTATUS[0]}
e2e_stop "$E2E_SIM_PID"
cat "$work/sim.log"

ok=0
[ "$status" -eq 0 ] || { e2e_fail "the dialog did not end with \"Update success.\" (driver status $status)"; ok=1; }
grep -q '^status: Update success\.' "$work/driver.out" || ok=1
title="TAVRIN Automatic Key Cutting Machine On line Update Tool V$version"
grep -qxF "title: $title" "$work/driver.out" || { e2e_fail "the title is not \"$title\""; ok=1; }
if [ -f "$work/app/log.bin" ]; then
  e2e_say "log.bin beside the program: $(wc -l <"$work/app/log.bin") lines"
  first=$(head -n 1 "$work/app/log.bin" | tr -d '\r')
  case $first in
    *"]TAVRIN Automatic Key Cutting Machine V$version start") ;;
    *) e2e_fail "the first log line is \"$first\""; ok=1 ;;
  esac
else
  e2e_fail "no log.bin beside the program"; ok=1
fi
e2e_check_storage "$work/machine" "$work/content" firmware image item6=V2.40 || ok=1
[ $ok -eq 0 ] && e2e_say "wine update passed"
exit $ok
