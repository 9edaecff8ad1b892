# Shared by the end-to-end tests and scripts/demo (sourced, bash): start the
# reference update server and the machine simulator on loopback, point the
# tool at them, stop them by their process ids, and compare the simulated
# machine's storage with the content the server served.

e2e_pids=()

e2e_say() { echo "e2e: $*"; }
e2e_fail() { echo "e2e: FAILED: $*" >&2; return 1; }

# A loopback address of its own for each run, so parallel runs never share
# the server's fixed ports 5001 and 4006.
e2e_pick_address() {
  local n=$1
  echo "127.$((60 + n % 100)).$(($$ % 250 + 1)).$((RANDOM % 250 + 2))"
}

# Waits up to $2 seconds for the command in $1 to succeed.
e2e_wait_for() {
  local test=$1 limit=$2 i
  for ((i = 0; i < limit * 20; i++)); do
    eval "$test" && return 0
    sleep 0.05
  done
  return 1
}

# e2e_make_content SERVER_BIN DIR FIRMWARE_BYTES IMAGE_BYTES ITEM6
e2e_make_content() {
  "$1" --make-demo-content "$2" --firmware-size "$3" --image-size "$4" --item6 "$5" >/dev/null ||
    e2e_fail "could not generate demo content"
}

# e2e_start_server SERVER_BIN ADDRESS CONTENT_DIR LOG [more server options]
# Sets E2E_SERVER_PID and E2E_PAGE_URL.
e2e_start_server() {
  local bin=$1 address=$2 content=$3 log=$4
  shift 4
  "$bin" --address "$address" --page-port 0 --content "$content" "$@" >"$log" 2>&1 &
  E2E_SERVER_PID=$!
  e2e_pids+=("$E2E_SERVER_PID")
  if ! e2e_wait_for "grep -q '^update server on' '$log'" 15; then
    cat "$log" >&2
    e2e_fail "the update server did not start on $address"
    return 1
  fi
  E2E_PAGE_URL=$(sed -n 's/.*address page \(http[^ ,]*\).*/\1/p' "$log" | head -n 1)
  E2E_SERVER_ADDRESS=$address
}

# A release program has its endpoints built in, so the server must listen
# where they point; runs of such programs on one machine take turns there.
# e2e_start_server_built_in SERVER_BIN ADDRESS PAGE_URL CONTENT_DIR LOG [more server options]
e2e_start_server_built_in() {
  local bin=$1 address=$2 page=$3 content=$4 log=$5 port
  shift 5
  exec {E2E_ENDPOINT_LOCK}>"/tmp/vu-e2e-endpoints-$address.lock"
  flock -w 900 "$E2E_ENDPOINT_LOCK" || { e2e_fail "$address stayed in use by another run"; return 1; }
  port=$(sed -n 's|^http://[^/:]*:\([0-9]*\)/.*|\1|p' <<<"$page")
  e2e_start_server "$bin" "$address" "$content" "$log" --page-port "${port:-80}" "$@"
}

# e2e_start_sim SIM_BIN STATE_DIR LOG [more simulator options]
# Sets E2E_SIM_PID and E2E_SIM_ADDRESS (HOST:PORT).
e2e_start_sim() {
  local bin=$1 state=$2 log=$3
  shift 3
  rm -f "$state.ready"
  "$bin" --listen 127.0.0.1:0 --state "$state" --ready-file "$state.ready" "$@" >"$log" 2>&1 &
  E2E_SIM_PID=$!
  e2e_pids+=("$E2E_SIM_PID")
  if ! e2e_wait_for "[ -s '$state.ready' ]" 15; then
    cat "$log" >&2
    e2e_fail "the machine simulator did not start"
    return 1
  fi
  E2E_SIM_ADDRESS=$(cat "$state.ready")
}

# The tool's environment for the started server and simulator.
e2e_export_tool_env() {
  export VANTORELLE_SIMULATOR=$E2E_SIM_ADDRESS
  export VANTORELLE_FIXED_SERVER=$E2E_SERVER_ADDRESS
  export VANTORELLE_SERVER_NAME=$E2E_SERVER_ADDRESS
  export VANTORELLE_ADDRESS_PAGE=$E2E_PAGE_URL
}

# The tool reaches the simulator the way it reaches a real machine on Linux:
# through libftdi1, over the virtual FT232R of sim/usb-ftdi, whose folder
# ($1) goes first on the tool's library path. Call after e2e_export_tool_env.
e2e_use_usb_converter() {
  unset VANTORELLE_SIMULATOR
  export VANTORELLE_USB_SIMULATOR=$E2E_SIM_ADDRESS
  export LD_LIBRARY_PATH=$1${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}
}

# For a release program: the variables a development build would follow point
# at nothing, so the run passes only if the program ignores them.
e2e_export_dead_tool_env() {
  export VANTORELLE_FIXED_SERVER=127.254.0.1 VANTORELLE_SERVER_NAME=127.254.0.1 \
    VANTORELLE_ADDRESS_PAGE=http://127.254.0.1:9/forum/getip.php VANTORELLE_SIMULATOR=127.254.0.1:9
}

# Stops one process we started (SIGTERM, then SIGKILL after 15 s) and waits for it.
e2e_stop() {
  local pid=$1 i
  kill -TERM "$pid" 2>/dev/null || return 0
  for ((i = 0; i < 300; i++)); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  kill -KILL "$pid" 2>/dev/null
  wait "$pid" 2>/dev/null
  return 0
}

e2e_stop_all() {
  local pid
  for pid in "${e2e_pids[@]}"; do
    e2e_stop "$pid"
  done
  e2e_pids=()
}

# Hex of a text, as items.txt stores item values.
e2e_hex() { printf '%s' "$1" | od -An -tx1 -v | tr -d ' \n' | tr 'a-f' 'A-F'; }

# e2e_check_storage STATE_DIR CONTENT_DIR WHAT...
# WHAT: firmware (equals the served firmware), no-firmware (none written),
# image (the first image-size bytes equal the served image), no-image,
# item6=TEXT (information item 6 holds TEXT). The simulator must have stopped.
e2e_check_storage() {
  local state=$1 content=$2 ok=0 what size
  shift 2
  for what in "$@"; do
    case $what in
      firmware)
        if cmp -s "$state/firmware.bin" "$content/firmware.bin"; then
          e2e_say "firmware matches the served firmware ($(stat -c %s "$content/firmware.bin") bytes)"
        else
          e2e_fail "the machine's firmware differs from the served firmware"; ok=1
        fi ;;
      no-firmware)
        if [ ! -s "$state/firmware.bin" ]; then e2e_say "no firmware written, as expected"
        else e2e_fail "firmware was written"; ok=1; fi ;;
      image)
        size=$(stat -c %s "$content/image.bin")
        if [ "$(stat -c %s "$state/image.bin")" -ge "$size" ] && cmp -s -n "$size" "$state/image.bin" "$content/image.bin"; then
          e2e_say "image matches the served image ($size bytes)"
        else
          e2e_fail "the machine's image differs from the served image"; ok=1
        fi ;;
      no-image)
        if [ ! -s "$state/image.bin" ]; then e2e_say "no image written, as expected"
        else e2e_fail "image was written"; ok=1; fi ;;
      item6=*)
        if grep -qx "6 $(e2e_hex "${what#item6=}")" "$state/items.txt"; then
          e2e_say "information item 6 is \"${what#item6=}\""
        else
          e2e_fail "information item 6 is not \"${what#item6=}\" ($(grep '^6 ' "$state/items.txt" || echo missing))"; ok=1
        fi ;;
      *) e2e_fail "unknown check $what"; ok=1 ;;
    esac
  done
  return $ok
}
