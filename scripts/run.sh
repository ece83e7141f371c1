#!/usr/bin/env bash
# The main job: builds the plug-in and kel36-host, then polls a controller.
# Without arguments it polls the two simulated controllers of
# examples/host.json (one healthy, one with alarms) for five rounds; any
# arguments go to kel36-host as they are (see docs/tools.md).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
. scripts/lib.sh
install_packages "${BUILD_PACKAGES[@]}"

cmake --preset default >/dev/null
cmake --build --preset default --target kel36 kel36-host kel36-sim

if [ $# -eq 0 ]; then
    set -- --config examples/host.json --rounds 5
fi
exec build/default/kel36-host/kel36-host "$@"
