#!/usr/bin/env bash
# Does keeping the history slow polling? bench/scale.sh with the history
# database off and on, in turns (off, on, off, on, ...), so that the shared
# machine's changing load falls on both alike. Prints each run's line, then
# the median rounds per second of each and their ratio (on / off).
#
# usage: bench/store.sh BUILD_DIR [DEVICES (64)] [ROUNDS_PER_DEVICE (200)] [PAIRS (5)]
set -euo pipefail

build=${1:?usage: bench/store.sh BUILD_DIR [DEVICES] [ROUNDS_PER_DEVICE] [PAIRS]}
devices=${2:-64}
rounds=${3:-200}
pairs=${4:-5}
here=$(dirname "${BASH_SOURCE[0]}")

off=()
on=()
rate() { sed -n 's/.*rounds\/s \([0-9.]*\).*/\1/p' <<<"$1"; }
for ((i = 1; i <= pairs; i++)); do
  line=$(KEL36_SCALE_HISTORY=0 "$here/scale.sh" "$build" "$devices" "$rounds")
  echo "off  $line"
  off+=("$(rate "$line")")
  line=$(KEL36_SCALE_HISTORY=1 "$here/scale.sh" "$build" "$devices" "$rounds")
  echo "on   $line"
  on+=("$(rate "$line")")
done

median() { printf '%s\n' "$@" | sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
m_off=$(median "${off[@]}")
m_on=$(median "${on[@]}")
awk -v off="$m_off" -v on="$m_on" -v n="$pairs" 'BEGIN {
  printf "median rounds/s over %d runs each: history off %.1f, on %.1f; ratio on/off %.3f\n", n, off, on, on / off
}'
