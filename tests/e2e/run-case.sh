#!/usr/bin/env bash
# One end-to-end case: the console tool against the reference update server
# and the machine simulator, both started here on loopback and stopped
# again; the machine's storage is compared with the served content.
#
#   run-case.sh CASE TOOL SERVER SIMULATOR [ADDRESS PAGE_URL]
#   CASE: update-short update-long repair-data repair-card version-info faults
#         list-devices
# With E2E_USB_LIBDIR set (the folder of sim/usb-ftdi's libusb-1.0.so.0), the
# tool reaches the simulator through libftdi1 and the virtual FT232R instead
# of its own simulator client.
# With ADDRESS and PAGE_URL the tool is a release build with these endpoints
# built in: the server listens there, the machine is named by --simulator,
# and the variables a development build follows point at nothing.
set -uo pipefail
case_name=$1 tool=$2 server=$3 sim=$4 built_in=${5:-} built_in_page=${6:-}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/e2e-lib.sh"

work=$(mktemp -d /tmp/vu-e2e-$case_name.XXXXXX)
trap 'e2e_stop_all; [ -n "${E2E_KEEP:-}" ] || rm -rf "$work"' EXIT

# Per case: content sizes, the item-6 value served, simulator and server
# options, the tool's command, the final text and the storage checks.
sim_args=() server_args=()
case $case_name in
  update-short)   # healthy machine: firmware, then the image in two parts
    firmware=20000 image=$((1048576 + 5000)) item6=V2.30 n=1
    command=update final="Update success."
    checks=(firmware image item6=V2.30) ;;
  update-long)    # the probe fails: card, playback, the start wait, the image
    firmware=3000 image=40000 item6=V2.31 n=2
    sim_args=(--broken)
    command=update final="Update success."
    checks=(no-firmware image item6=V2.31) ;;
  repair-data)
    firmware=3000 image=70000 item6=V2.32 n=3
    command=repair-data final="Repair success."
    checks=(no-firmware image item6=A0103) ;;
  repair-card)
    firmware=3000 image=5000 item6=V2.33 n=4
    command=repair-card final="Repair success."
    checks=(no-firmware no-image item6=A0103) ;;
  version-info)
    firmware=3000 image=5000 item6=V2.34 n=5
    command=version-info final="Faster key cutting on double-sided blades."
    checks=(no-firmware no-image item6=A0103) ;;
  faults)         # two cut replies, two refused sector writes, one refused chunk
    # A reply that ends in a clean close is final for the tool; one whose
    # connection breaks off is resumed where it stopped.
    firmware=12000 image=150000 item6=V2.35 n=6
    server_args=(--fault "cut-reset 700 count=2 tag=020102" --request-log "$work/requests.log")
    sim_args=(--fault D8:refuse:times=2:after=30 --fault A4:refuse:times=1:after=4)
    command=update final="Update success."
    checks=(firmware image item6=V2.35) ;;
  list-devices)   # two converters; the tool names the one it opens
    firmware=3000 image=5000 item6=V2.36 n=7
    sim_args=(--device "FT232R USB UART" --device Vantorelle)
    command=--list-devices final="The tool would open: Vantorelle"
    checks=(no-firmware no-image) ;;
  *) echo "unknown case $case_name" >&2; exit 2 ;;
esac

e2e_make_content "$server" "$work/content" "$firmware" "$image" "$item6" || exit 1
tool_args=()
if [ -n "$built_in" ]; then
  address=$built_in
  e2e_start_server_built_in "$server" "$address" "$built_in_page" "$work/content" "$work/server.log" \
    "${server_args[@]}" || exit 1
  e2e_start_sim "$sim" "$work/machine" "$work/sim.log" "${sim_args[@]}" || exit 1
  e2e_export_dead_tool_env
  tool_args=(--simulator "$E2E_SIM_ADDRESS")
  e2e_say "$case_name, release program: server at its built-in $address, machine $E2E_SIM_ADDRESS by --simulator"
else
  # The USB runs take addresses of their own, apart from the same cases' plain runs.
  [ -n "${E2E_USB_LIBDIR:-}" ] && n=$((n + 10))
  address=$(e2e_pick_address "$n")
  e2e_start_server "$server" "$address" "$work/content" "$work/server.log" "${server_args[@]}" || exit 1
  e2e_start_sim "$sim" "$work/machine" "$work/sim.log" "${sim_args[@]}" || exit 1
  e2e_export_tool_env
  road="its simulator client"
  if [ -n "${E2E_USB_LIBDIR:-}" ]; then
    e2e_use_usb_converter "$E2E_USB_LIBDIR"
    road="libftdi1 and the virtual FT232R"
  fi
  e2e_say "$case_name: server $address, machine $E2E_SIM_ADDRESS, reached through $road"
fi

"$tool" "${tool_args[@]}" "$command" >"$work/tool.out" 2>&1
status=$?
tr '\r' '\n' <"$work/tool.out" | grep -v '^\s*$' | tail -n 15
e2e_stop "$E2E_SIM_PID"
cat "$work/sim.log"

ok=0
if [ "$status" -ne 0 ]; then
  e2e_fail "vantorelle-update $command exited with $status"; ok=1
fi
if ! grep -qF "$final" "$work/tool.out"; then
  e2e_fail "the tool never said \"$final\""; ok=1
fi
e2e_check_storage "$work/machine" "$work/content" "${checks[@]}" || ok=1
case $case_name in
  repair-card)
    if grep -q ' 0 card reader commands' "$work/machine/report.txt"; then
      e2e_fail "no card command reached the machine's reader"; ok=1
    fi ;;
  list-devices)
    if ! grep -q '^Attached converters: 2$' "$work/tool.out"; then
      e2e_fail "the tool did not list both converters"; ok=1
    fi ;;
  faults)
    cuts=$(grep -c 'fault=cut' "$work/requests.log")
    refused=$(sed -n 's/.* \([0-9]*\) refused;.*/\1/p' "$work/machine/report.txt")
    if [ "$cuts" -ne 2 ] || [ "$refused" != 3 ]; then
      e2e_fail "expected 2 cut replies and 3 refused writes, saw $cuts and $refused"; ok=1
    else
      e2e_say "the server cut 2 replies and the machine refused 3 writes; the update went through"
    fi ;;
esac
[ $ok -eq 0 ] && e2e_say "$case_name passed"
exit $ok
