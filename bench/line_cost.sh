#!/usr/bin/env bash
# What kel36-host costs on a line, against the least a poller of the protocol
# can do (bench/min_poller.cpp), both polling kel36-sim on a pseudo-terminal.
# The simulators run as processes of their own, so every figure is the
# pollers' alone.
#
#  cpu      CPU time per round with the simulator answering at once (unpaced):
#           REPEATS runs of each poller over ROUNDS rounds and over one round,
#           all interleaved; CPU time (task-clock from perf stat, else user +
#           system time from GNU time); per round: the median of the long
#           runs less the median of the one-round runs (start-up: loading the
#           plug-in and libraries), over ROUNDS - 1; and the ratio.
#  syscalls system calls per exchange on the paced line (strace -f -c, the
#           whole run including start-up), for both pollers.
#  rounds   round time on the paced line against the wire time (63 exchanges
#           of 7 + 4 characters of 10 bits at 19200 baud, plus the
#           simulator's turnaround per exchange) as a ratio: the minimal
#           poller's, REPEATS runs and their median, then kel36-host's with 1
#           and with 16 devices.
#
# usage: bench/line_cost.sh BUILD_DIR [cpu|syscalls|rounds|all]
# ROUNDS (1000), REPEATS (5), PACED_ROUNDS (20) and TURNAROUND_MS (2) in the
# environment change the amounts.
set -euo pipefail

build=${1:?usage: bench/line_cost.sh BUILD_DIR [cpu|syscalls|rounds|all]}
what=${2:-all}
rounds=${ROUNDS:-1000}
repeats=${REPEATS:-5}
paced_rounds=${PACED_ROUNDS:-20}
turnaround=${TURNAROUND_MS:-2}
host="$build/kel36-host/kel36-host"
sim="$build/sim/kel36-sim"
poller="$build/bench/kel36_min_poller"
plugin="$build/plugin/kel36.so"
for f in "$host" "$sim" "$poller" "$plugin"; do
  [ -e "$f" ] || { echo "line_cost.sh: $f is not built" >&2; exit 2; }
done
if perf stat -x, -e task-clock true >/dev/null 2>&1; then
  use_perf=1
else
  use_perf=0
  [ -x /usr/bin/time ] || { echo "line_cost.sh: needs perf or GNU time (apt-get install time)" >&2; exit 2; }
fi

name=line_cost.sh
# shellcheck source=bench/simulators.sh
. "$(dirname "$0")/simulators.sh"

# new_sim ARGS...: one more simulator (not in a subshell: its process must
# be known to the clean-up); last_pty: the pseudo-terminal of the last one.
new_sim() { start_sim "${#sim_pids[@]}" "$@"; }
last_pty() { pty_of $((${#sim_pids[@]} - 1)); }

# CPU seconds of a command, its output thrown away.
cpu_of() {
  if [ "$use_perf" = 1 ]; then
    perf stat -x, -e task-clock -o "$work/time" "$@" >/dev/null 2>"$work/err" ||
      { cat "$work/err" >&2; exit 1; }
    awk -F, '$3 == "task-clock" {printf "%.4f\n", $1 / 1000}' "$work/time"
  else
    /usr/bin/time -f '%U %S' -o "$work/time" "$@" >/dev/null 2>"$work/err" ||
      { cat "$work/err" >&2; exit 1; }
    awk '{printf "%.3f\n", $1 + $2}' "$work/time"
  fi
}

median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }

if [ "$what" = cpu ] || [ "$what" = all ]; then
  new_sim
  port=$(last_pty)
  for f in host poller host1 poller1; do : >"$work/$f.cpu"; done
  for ((i = 0; i < repeats; i++)); do
    cpu_of "$host" --plugin "$plugin" --port "$port" --rounds "$rounds" --interval 0 >>"$work/host.cpu"
    cpu_of "$poller" "$port" "$rounds" >>"$work/poller.cpu"
    cpu_of "$host" --plugin "$plugin" --port "$port" --rounds 1 --interval 0 >>"$work/host1.cpu"
    cpu_of "$poller" "$port" 1 >>"$work/poller1.cpu"
  done
  awk -v r="$rounds" -v n="$repeats" -v perf="$use_perf" \
      -v h="$(median <"$work/host.cpu")" -v p="$(median <"$work/poller.cpu")" \
      -v h1="$(median <"$work/host1.cpu")" -v p1="$(median <"$work/poller1.cpu")" \
      -v hs="$(paste -sd' ' "$work/host.cpu")" -v ps="$(paste -sd' ' "$work/poller.cpu")" 'BEGIN {
    printf "cpu (unpaced, %d rounds, %d runs each, interleaved, %s)\n", r, n, perf ? "perf task-clock" : "GNU time"
    printf "  kel36-host   runs %s s  median %.4f s, start-up %.4f s  %.1f us/round\n", hs, h, h1, (h - h1) / (r - 1) * 1e6
    printf "  min poller   runs %s s  median %.4f s, start-up %.4f s  %.1f us/round\n", ps, p, p1, (p - p1) / (r - 1) * 1e6
    printf "  ratio host / poller per round: %.3f (whole runs: %.3f)\n", (h - h1) / (p - p1), h / p
  }'
fi

if [ "$what" = syscalls ] || [ "$what" = all ]; then
  new_sim --pace --turnaround "$turnaround"
  port=$(last_pty)
  strace -f -c -o "$work/host.strace" \
    "$host" --plugin "$plugin" --port "$port" --rounds "$paced_rounds" --interval 0 >/dev/null 2>&1
  strace -f -c -o "$work/poller.strace" "$poller" "$port" "$paced_rounds" >/dev/null
  echo "syscalls (paced, $paced_rounds rounds, $((paced_rounds * 63)) exchanges; strace -f -c, whole run)"
  for who in host poller; do
    awk -v who="$who" -v x=$((paced_rounds * 63)) '
      # % time, seconds, usecs/call, calls, [errors,] syscall
      $NF == "total" { total = $4 }
      $1 ~ /^[0-9.]+$/ && $NF != "total" { calls[$NF] = $4 }
      END {
        printf "  %-7s %d calls, %.2f per exchange  (read %d, write %d, ppoll %d, ioctl %d)\n",
          who, total, total / x, calls["read"], calls["write"], calls["ppoll"], calls["ioctl"]
      }' "$work/$who.strace"
  done
fi

if [ "$what" = rounds ] || [ "$what" = all ]; then
  wire=$(awk -v t="$turnaround" 'BEGIN {printf "%.1f", 63 * (11 * 10 / 19200 * 1000 + t)}')
  echo "rounds (paced, turnaround $turnaround ms: wire time $wire ms per round; $repeats runs of $paced_rounds rounds each)"
  # The minimal poller's round is the line's own time: REPEATS runs, each
  # against a fresh simulator, their ratios to the wire time and the median.
  : >"$work/poller.ratio"
  for ((i = 0; i < repeats; i++)); do
    new_sim --pace --turnaround "$turnaround"
    "$poller" "$(last_pty)" "$paced_rounds" |
      awk -v w="$wire" '{printf "%.4f\n", $(NF - 1) / w}' >>"$work/poller.ratio"
  done
  printf '  min poller,  1 device:  runs %s  median %.4fx wire\n' \
    "$(paste -sd' ' "$work/poller.ratio")" "$(median <"$work/poller.ratio")"
  for devices in 1 16; do
    ports=()
    for ((i = 0; i < devices; i++)); do
      new_sim --pace --turnaround "$turnaround"
      ports+=("$(last_pty)")
    done
    write_host_config "$work/host$devices.json" "${ports[@]}"
    "$host" --plugin "$plugin" --config "$work/host$devices.json" --rounds "$paced_rounds" \
      --interval 0 >"$work/host$devices.out" 2>"$work/err" || { cat "$work/err" >&2; exit 1; }
    # "summary g0: 20 rounds, 0 stalls, round time mean 489.2 ms, max 493.0 ms"
    awk -v w="$wire" -v n="$devices" '$1 == "summary" {
        gsub(",", ""); m += $10; if ($13 > mx) mx = $13; s += $5; d++ }
      END { printf "  kel36-host, %2d devices: mean %.1f ms (%.4fx wire), worst device max %.1f ms, %d stalls\n",
        n, m / d, m / d / w, mx, s }' "$work/host$devices.out"
  done
fi
