#!/usr/bin/env bash
# Installs what building kel36 and running its tests needs (Debian).
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/lib.sh"
install_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
install_node
