# Sourced by the bench scripts: kel36-sim processes on pseudo-terminals, each
# its own process (so the figures measured are the pollers' alone), stopped
# and cleaned up when the script exits. Needs $sim (the kel36-sim program)
# and a `name` for messages; sets $work, a scratch directory.

work=$(mktemp -d)
sim_pids=()
stop_simulators() {
  for pid in "${sim_pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${sim_pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  rm -rf "$work"
}
trap stop_simulators EXIT

# start_sim N ARGS...: simulator number N in the background.
start_sim() {
  local n=$1
  shift
  "$sim" --pty "$@" >"$work/sim$n.out" 2>"$work/sim$n.err" &
  sim_pids+=($!)
}

# pty_of N: the pseudo-terminal simulator N answers on (its first line).
pty_of() {
  local line=""
  for ((tries = 0; tries < 100; tries++)); do
    line=$(head -n1 "$work/sim$1.out" 2>/dev/null || true)
    [ -n "$line" ] && break
    sleep 0.05
  done
  [ -n "$line" ] || { echo "$name: simulator $1 printed no pseudo-terminal" >&2; exit 1; }
  echo "$line"
}

# write_host_config FILE PORT...: one device per port, g0 g1 ..., data ids from 5001.
write_host_config() {
  local file=$1
  shift
  local count=$# i=0
  {
    echo '{"devices": ['
    for port in "$@"; do
      printf '  {"name": "g%d", "dataId": %d, "port": "%s", "device": {"appSetting": {"addr": "65"}}}%s\n' \
        "$i" $((5001 + i)) "$port" "$([ $((i + 1)) -lt "$count" ] && echo , || true)"
      i=$((i + 1))
    done
    echo ']}'
  } >"$file"
}
