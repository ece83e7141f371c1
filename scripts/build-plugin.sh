#!/usr/bin/env bash
# Builds kel36.so against a monitoring unit's own framework headers, for the
# board's architecture, and checks its link contract (only the C/C++ run-time
# as dependencies, only get_providers exported).
#
#   kel36-build-plugin --framework DIR [--arch amd64|armhf|arm64] [--out DIR]
#
# DIR holds the host's framework.h (see docs/install.md); the result is
# OUT/kel36.so (default: ./kel36-<arch>/kel36.so). A cross build needs the
# cross compiler and the target's JsonCpp (scripts/setup-cross.sh ARCH in the
# source tree, or: apt-get install g++-arm-linux-gnueabihf libjsoncpp-dev:armhf).
set -euo pipefail
here=$(cd "$(dirname "$(readlink -f "${BASH_SOURCE[0]}")")" && pwd)
# Installed (kel36-dev) the sources are in ../share/kel36/src; in a clone, one up.
if [ -f "$here/../share/kel36/src/CMakeLists.txt" ]; then
    src=$(cd "$here/../share/kel36/src" && pwd)
else
    src=$(cd "$here/.." && pwd)
fi
framework="" arch=$(dpkg --print-architecture 2>/dev/null || echo amd64) out=""
while [ $# -gt 0 ]; do
    case "$1" in
        --framework) framework=${2:?--framework needs a directory}; shift 2 ;;
        --arch) arch=${2:?--arch needs amd64, armhf or arm64}; shift 2 ;;
        --out) out=${2:?--out needs a directory}; shift 2 ;;
        -h | --help) sed -n '2,12p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "kel36-build-plugin: unknown argument '$1' (see --help)" >&2; exit 2 ;;
    esac
done
[ -n "$framework" ] || { echo "kel36-build-plugin: --framework DIR is required (the host's framework headers)" >&2; exit 2; }
[ -f "$framework/framework.h" ] || { echo "kel36-build-plugin: $framework has no framework.h" >&2; exit 2; }
framework=$(cd "$framework" && pwd)
case "$arch" in
    amd64) toolchain=() prefix="" ;;
    armhf) toolchain=(-DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchains/armhf.cmake") prefix=arm-linux-gnueabihf- ;;
    arm64) toolchain=(-DCMAKE_TOOLCHAIN_FILE="$src/cmake/toolchains/arm64.cmake") prefix=aarch64-linux-gnu- ;;
    *) echo "kel36-build-plugin: unknown architecture '$arch' (amd64, armhf, arm64)" >&2; exit 2 ;;
esac
out=${out:-$PWD/kel36-$arch}
build=$(mktemp -d "${TMPDIR:-/tmp}/kel36-plugin.XXXXXX")
trap 'rm -rf "$build"' EXIT
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release "${toolchain[@]}" \
    -DKEL36_FRAMEWORK_INCLUDE_DIR="$framework" -DKEL36_BUILD_TOOLS=OFF -DKEL36_BUILD_TESTS=OFF \
    -DKEL36_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" --target kel36
mkdir -p "$out"
cp "$build/plugin/kel36.so" "$out/kel36.so"
sh "$src/tests/foundation/link_contract.sh" "$out/kel36.so" "$prefix"
echo "kel36-build-plugin: $out/kel36.so"
