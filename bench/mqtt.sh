#!/usr/bin/env bash
# Rounds per second of kel36-host polling many simulated controllers with no
# pause between rounds, with --mqtt to a local mosquitto and without, in
# interleaved pairs (off, on, off, on, ...) so that a change in the machine's
# load falls on both alike. The rate is the rounds completed between the
# first and the last round's time stamp, so start-up and the end (where
# --mqtt sends what is still queued) count for neither. Prints one line per
# run and the ratio of the medians.
#
# With PACE=1 in the environment the simulators keep the wire's time (19200
# baud, as in the field): the rate is then the lines', and the ratio shows
# whether polling ever waits for the network. Unpaced, every process competes
# for the CPU, and the ratio is the CPU share that publishing takes.
#
# usage: [PACE=1] bench/mqtt.sh BUILD_DIR [DEVICES (64)] [ROUNDS_PER_DEVICE (200)] [PAIRS (5)]
set -euo pipefail

build=${1:?usage: bench/mqtt.sh BUILD_DIR [DEVICES] [ROUNDS_PER_DEVICE] [PAIRS]}
devices=${2:-64}
rounds=${3:-200}
pairs=${4:-5}
host="$build/kel36-host/kel36-host"
sim="$build/sim/kel36-sim"
plugin="$build/plugin/kel36.so"
for f in "$host" "$sim" "$plugin"; do
  [ -x "$f" ] || [ -f "$f" ] || { echo "mqtt.sh: $f is not built" >&2; exit 2; }
done
command -v mosquitto >/dev/null || { echo "mqtt.sh: needs mosquitto (apt-get install mosquitto)" >&2; exit 2; }

name=mqtt.sh
# shellcheck source=bench/simulators.sh
. "$(dirname "$0")/simulators.sh"

broker_port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\nuser %s\n' "$broker_port" "$(id -un)" >"$work/mosquitto.conf"
mosquitto -c "$work/mosquitto.conf" >"$work/mosquitto.log" 2>&1 &
broker=$!
trap 'kill "$broker" 2>/dev/null || true; stop_simulators' EXIT
sleep 0.3

pace=()
[ "${PACE:-0}" = 1 ] && pace=(--pace)
for ((i = 0; i < devices; i++)); do
  start_sim "$i" "${pace[@]}"
done
ports=()
for ((i = 0; i < devices; i++)); do
  ports+=("$(pty_of "$i")")
done
write_host_config "$work/host.json" "${ports[@]}"

# run off|on: the rate of one run, from its round lines ("HH:MM:SS.mmm g3  round 7 ...").
run() {
  local extra=()
  [ "$1" = on ] && extra=(--mqtt "mqtt://127.0.0.1:$broker_port")
  "$host" --plugin "$plugin" --config "$work/host.json" --interval 0 --rounds "$rounds" \
    "${extra[@]}" >"$work/host.out" 2>"$work/host.err" || { cat "$work/host.err" >&2; exit 1; }
  awk '$3 == "round" {
    split($1, t, ":"); s = t[1] * 3600 + t[2] * 60 + t[3]
    if (n > 0 && s < last) s += 86400  # past midnight
    if (n == 0) first = s; last = s; n++
  } END { printf "%.1f\n", (n - 1) / (last - first) }' "$work/host.out"
}

off=()
on=()
for ((p = 0; p < pairs; p++)); do
  off+=("$(run off)")
  on+=("$(run on)")
  echo "pair $((p + 1)): off ${off[-1]} rounds/s, on ${on[-1]} rounds/s"
done
median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
m_off=$(median "${off[@]}")
m_on=$(median "${on[@]}")
awk -v a="$m_off" -v b="$m_on" -v n="$devices" -v p="$([ ${#pace[@]} -gt 0 ] && echo ' paced')" 'BEGIN {
  printf "devices %d%s  median rounds/s: mqtt off %.1f, on %.1f  on/off %.3f\n", n, p, a, b, b / a }'
