#!/usr/bin/env bash
# kel36-host polling many simulated controllers at once, each a kel36-sim
# process on its own pseudo-terminal, with no pause between rounds. Prints one
# line: devices, rounds completed, wall time, rounds per second in total, the
# host's CPU time per completed round and its peak resident memory. The
# simulators run as separate processes, so the CPU and memory figures are the
# host's alone.
#
# usage: bench/scale.sh BUILD_DIR [DEVICES (64)] [ROUNDS_PER_DEVICE (200)]
# KEL36_SCALE_WRAP runs the host under a tool, e.g. "strace -c -o FILE" or
# "valgrind --log-file=FILE" (the figures then are the tool's, not the host's).
# KEL36_SCALE_SIM_ARGS passes options to every simulator, e.g. "--pace" for
# replies at 19200 baud's pace instead of at once.
# KEL36_SCALE_HISTORY=1 keeps the history in a fresh database (--history) and
# adds the number of rows it holds at the end to the line.
set -euo pipefail

build=${1:?usage: bench/scale.sh BUILD_DIR [DEVICES] [ROUNDS_PER_DEVICE]}
devices=${2:-64}
rounds=${3:-200}
host="$build/kel36-host/kel36-host"
sim="$build/sim/kel36-sim"
plugin="$build/plugin/kel36.so"
for f in "$host" "$sim" "$plugin"; do
  [ -x "$f" ] || [ -f "$f" ] || { echo "scale.sh: $f is not built" >&2; exit 2; }
done
[ -x /usr/bin/time ] || { echo "scale.sh: needs GNU time (apt-get install time)" >&2; exit 2; }

name=scale.sh
# shellcheck source=bench/simulators.sh
. "$(dirname "$0")/simulators.sh"

# The simulators print their pseudo-terminal's path as their first line.
for ((i = 0; i < devices; i++)); do
  # shellcheck disable=SC2086 # word splitting of the extra arguments is wanted
  start_sim "$i" ${KEL36_SCALE_SIM_ARGS:-}
done
ports=()
for ((i = 0; i < devices; i++)); do
  ports+=("$(pty_of "$i")")
done
write_host_config "$work/host.json" "${ports[@]}"

history_args=()
[ "${KEL36_SCALE_HISTORY:-0}" = 1 ] && history_args=(--history "$work/history.db")

# Human output into a file: every round is formatted and written, as in use.
/usr/bin/time -f '%e %U %S %M' -o "$work/time" ${KEL36_SCALE_WRAP:-} \
  "$host" --plugin "$plugin" --config "$work/host.json" --interval 0 --rounds "$rounds" \
  "${history_args[@]}" >"$work/host.out" 2>"$work/host.err" || { cat "$work/host.err" >&2; exit 1; }

# Rounds and stalls as the host counted them, from its closing summary lines
# ("summary g0: 200 rounds, 0 stalls, ...").
read -r total stalls < <(awk '$1 == "summary" {r += $3; s += $5} END {print r + 0, s + 0}' "$work/host.out")
[ "$total" -gt 0 ] || { echo "scale.sh: the host completed no round" >&2; cat "$work/host.err" >&2; exit 1; }
read -r wall user sys peak_kib <"$work/time"
# The simulators' CPU time so far (user + system clock ticks, fields 14 and 15
# of /proc/PID/stat; the name in field 2 has no spaces here).
sim_ticks=0
for pid in "${sim_pids[@]}"; do
  read -r -a stat <"/proc/$pid/stat"
  sim_ticks=$((sim_ticks + stat[13] + stat[14]))
done
history_rows=""
if [ "${#history_args[@]}" -gt 0 ]; then
  history_rows="  history rows $(("$("$host" history "$work/history.db" --csv | wc -l)" - 1))"
fi
awk -v n="$devices" -v r="$total" -v st="$stalls" -v wall="$wall" -v user="$user" -v sys="$sys" \
    -v kib="$peak_kib" -v simt="$sim_ticks" -v hz="$(getconf CLK_TCK)" -v hist="$history_rows" 'BEGIN {
  printf "devices %d  rounds %d  stalls %d  wall %.2f s  rounds/s %.1f  host CPU %.2f s (user %.2f, sys %.2f)  host CPU/round %.0f us  peak RSS %d KiB  simulators CPU %.2f s%s\n",
    n, r, st, wall, r / wall, user + sys, user, sys, (user + sys) / r * 1e6, kib, simt / hz, hist
}'
