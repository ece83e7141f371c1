#!/usr/bin/env bash
# Long fault-injection soak: kel36-sim models the line at 115200 baud on a
# pseudo-terminal and injects every fault kind at seeded, realistic rates
# (late and over-long replies among them); kel36-host polls it through the
# real plug-in for the given number of published rounds (default 10000), once
# with a controller that echoes the register and once with one that does not.
# Checks records, stall accounting and memory; see tests/soak/soak_main.cpp.
#
#   scripts/soak.sh [ROUNDS [SEED]]   (extra kel36_soak options in KEL36_SOAK_ARGS,
#   e.g. "--echo register" for the echoing controller alone;
#   KEL36_SOAK_BUILD_DIR: an already configured build directory to use instead
#   of the "default" preset's)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
. scripts/lib.sh
install_packages "${BUILD_PACKAGES[@]}"

rounds="${1:-10000}"
seed="${2:-1}"
build="${KEL36_SOAK_BUILD_DIR:-}"
if [ -z "$build" ]; then
    cmake --preset default >/dev/null
    build=build/default
fi
cmake --build "$build" --parallel "${KEL36_JOBS:-2}" --target kel36_soak
# shellcheck disable=SC2086
exec "$build/tests/soak/kel36_soak" \
    --host "$build/kel36-host/kel36-host" --sim "$build/sim/kel36-sim" \
    --plugin "$build/plugin/kel36.so" --scenario examples/scenario.json \
    --rounds "$rounds" --seed "$seed" ${KEL36_SOAK_ARGS:-}
