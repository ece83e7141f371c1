#!/usr/bin/env bash
# Builds the Debian packages into build/packages/: kel36-plugin and
# kel36-tools for each architecture asked for, and kel36-dev (all) with amd64.
#
#   scripts/package.sh [amd64|armhf|arm64|all]    (default: amd64)
#
# An ARM kel36-tools package needs the target's SQLite, libmicrohttpd and
# cpp-httplib; when the archive cannot give them (scripts/setup-cross.sh says
# why) the plug-in package is built alone and one line says what was skipped. Build trees:
# build/package-<arch>.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
. scripts/lib.sh

case "${1:-amd64}" in
    amd64 | armhf | arm64) arches=("${1:-amd64}") ;;
    all) arches=(amd64 armhf arm64) ;;
    *) echo "package.sh: unknown architecture '$1' (amd64, armhf, arm64 or all)" >&2; exit 2 ;;
esac
install_packages "${BUILD_PACKAGES[@]}" dpkg-dev file python3

out="$root/build/packages"
mkdir -p "$out"
for arch in "${arches[@]}"; do
    build="build/package-$arch"
    args=(-G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr -DKEL36_WERROR=ON
        -DKEL36_BUILD_TESTS=OFF -DKEL36_BUILD_BENCH=OFF -DKEL36_PACKAGE_DIR="$out")
    if [ "$arch" != amd64 ]; then
        scripts/setup-cross.sh "$arch"
        host_tool=ON
        for p in "libsqlite3-dev:$arch" "libmicrohttpd-dev:$arch" "libcpp-httplib-dev:$arch"; do
            package_installed "$p" || host_tool=OFF
        done
        [ "$host_tool" = ON ] || echo "package.sh: skipped: kel36-tools for $arch (the target's SQLite, libmicrohttpd or cpp-httplib packages are not installed); kel36-plugin for $arch is built"
        # Without the tools the plug-in alone is built. GNUInstallDirs gives a
        # cross build no multiarch directory; Multi-Arch: same needs one.
        case "$arch" in armhf) triple=arm-linux-gnueabihf ;; arm64) triple=aarch64-linux-gnu ;; esac
        args+=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/$arch.cmake" -DKEL36_DEBIAN_ARCH="$arch"
            -DCMAKE_INSTALL_LIBDIR="lib/$triple" -DKEL36_BUILD_HOST_TOOL="$host_tool"
            -DKEL36_BUILD_TOOLS="$host_tool")
    fi
    echo "== packages for $arch"
    # Only this build's packages stay: an older version beside it would be installed instead.
    rm -f "$out"/kel36-*_"$arch".deb
    [ "$arch" = amd64 ] && rm -f "$out"/kel36-*_all.deb
    cmake -S . -B "$build" "${args[@]}" >/dev/null
    cmake --build "$build" --parallel "${KEL36_JOBS:-2}"
    (cd "$build" && cpack -G DEB >/dev/null)
done
ls -1 "$out"/*.deb
