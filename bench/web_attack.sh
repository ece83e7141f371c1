#!/usr/bin/env bash
# Polling's round rate while the web view is under attack, against the same
# run's rate without: one kel36-host polls a paced kel36-sim (its own
# process) with --http, and the run alternates quiet phases and phases in
# which bench/web_attack.py attacks the web view with every abuse at once
# (endless headers, trickling clients, a connection flood, overlapping
# Ranges, unread pipelined requests, requests as fast as answered).
#
# The attacker runs on the same machine only to have one: it runs at the
# lowest priority (nice 19) so that its own processor time, which a real
# attacker spends on another machine, is not what is measured; what the
# server does for it is, at whatever priority the server has.
#
# The rate of a phase is its rounds over the time between its first and its
# last round start (from the round lines' time stamps); the figure is the
# rate under attack over the quiet rate, both summed over their phases. The
# server's own peak memory and descriptors are printed too.
#
# usage: bench/web_attack.sh BUILD_DIR
# PHASE_S (20), PHASES (2 of each) and TURNAROUND_MS (2) in the environment
# change the amounts; ATTACKS (names from web_attack.py, separated by
# spaces) runs only those.
set -euo pipefail

build=${1:?usage: bench/web_attack.sh BUILD_DIR}
phase_s=${PHASE_S:-20}
phases=${PHASES:-2}
turnaround=${TURNAROUND_MS:-2}
host="$build/kel36-host/kel36-host"
sim="$build/sim/kel36-sim"
plugin="$build/plugin/kel36.so"
attacker="$(dirname "$0")/web_attack.py"
for f in "$host" "$sim" "$plugin"; do
  [ -e "$f" ] || { echo "web_attack.sh: $f is not built" >&2; exit 2; }
done
command -v python3 >/dev/null || { echo "web_attack.sh: needs python3" >&2; exit 2; }

name=web_attack.sh
# shellcheck source=bench/simulators.sh
. "$(dirname "$0")/simulators.sh"

start_sim 0 --pace --turnaround "$turnaround"
port=$(pty_of 0)
"$host" --plugin "$plugin" --port "$port" --interval 0 --http 127.0.0.1:0 \
  >"$work/host.out" 2>"$work/host.err" &
host_pid=$!
sim_pids+=("$host_pid")
for ((i = 0; i < 100; i++)); do
  grep -q '(also /api/devices' "$work/host.err" 2>/dev/null && break
  sleep 0.05
done
http_port=$(sed -n 's|.*http://127\.0\.0\.1:\([0-9]*\)/.*|\1|p' "$work/host.err")
[ -n "$http_port" ] || { cat "$work/host.err" >&2; exit 1; }
sleep 2  # the first round and the cache of the page behind us

# phase NAME: its first and last round-line numbers are marked by time.
: >"$work/phases"
peak_fds=0
phase() {
  local kind=$1 start end
  start=$(date +%s.%N)
  local until=$((SECONDS + phase_s))
  while [ $SECONDS -lt $until ]; do
    local fds
    fds=$(ls "/proc/$host_pid/fd" | wc -l)
    [ "$fds" -gt "$peak_fds" ] && peak_fds=$fds
    sleep 0.5
  done
  end=$(date +%s.%N)
  echo "$kind $start $end" >>"$work/phases"
}
for ((p = 0; p < phases; p++)); do
  phase quiet
  # shellcheck disable=SC2086
  nice -n 19 python3 "$attacker" "$http_port" ${ATTACKS:-} 2>/dev/null &
  attack_pid=$!
  phase attack
  kill "$attack_pid"
  wait "$attack_pid" 2>/dev/null || true
  sleep 1  # the attack's connections end before the next quiet phase
done
hwm=$(awk '/^VmHWM/ {print $2}' "/proc/$host_pid/status")
rss=$(awk '/^VmRSS/ {print $2}' "/proc/$host_pid/status")
kill -INT "$host_pid"
wait "$host_pid" || true

# Round lines: "HH:MM:SS.mmm kel36  round N ...". Round start times in
# seconds of the day, against the phases' bounds in the same clock.
awk -v day="$(date -d 'today 00:00' +%s)" '
  FILENAME == ARGV[1] { kind[NR] = $1; from[NR] = $2 - day; to[NR] = $3 - day; n = NR; next }
  $3 == "round" {
    split($1, t, ":"); at = t[1] * 3600 + t[2] * 60 + t[3]
    for (i = 1; i <= n; i++) if (at >= from[i] && at < to[i]) {
      if (!(i in first)) first[i] = at
      last[i] = at; count[i]++
    }
  }
  END {
    for (i = 1; i <= n; i++) {
      rounds[kind[i]] += count[i] - 1; span[kind[i]] += last[i] - first[i]
      printf "  %-6s phase %d: %d rounds, %.3f rounds/s\n", kind[i], i, count[i], (count[i] - 1) / (last[i] - first[i])
    }
    q = rounds["quiet"] / span["quiet"]; a = rounds["attack"] / span["attack"]
    printf "round rate quiet %.4f/s, under attack %.4f/s: ratio %.4f\n", q, a, a / q
  }' "$work/phases" "$work/host.out"
echo "kel36-host peak memory (VmHWM) $hwm kB, at the end $rss kB; most descriptors seen $peak_fds"
grep '^summary' "$work/host.out" || true
