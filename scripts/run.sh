#!/usr/bin/env bash
# The main job: builds the plug-in and kel36-host, then polls a controller.
# Without arguments it polls the two simulated controllers of
# examples/host.json (one healthy, one with alarms) for five rounds on the
# paced line, so the rounds take as long as on a real 19200-baud line; any
# arguments go to kel36-host as they are (see docs/tools.md).
# The build runs from the repository root, kel36-host from the caller's
# directory: relative paths in the arguments mean what they mean there.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
(
    cd "$root"
    . scripts/lib.sh
    install_packages "${BUILD_PACKAGES[@]}"
    cmake --preset default >/dev/null
    cmake --build --preset default --target kel36 kel36-host kel36-sim
)

if [ $# -eq 0 ]; then
    set -- --config "$root/examples/host.json" --rounds 5 --sim-pace
fi
exec "$root/build/default/kel36-host/kel36-host" "$@"
