#!/usr/bin/env bash
# Cross-builds kel36.so and its unit tests for an ARM board, runs the tests under
# qemu-user through ctest, and checks the ARM plug-in's link contract (only the
# C/C++ runtime as dependencies, only get_providers exported).
#
# Usage: scripts/cross-test.sh [armhf|arm64] [--build-only]   (default: armhf)
# Installs what is missing first (scripts/setup-cross.sh). Build tree: build/<arch>.
set -euo pipefail

arch=armhf
build_only=0
for arg in "$@"; do
  case "$arg" in
    armhf | arm64) arch=$arg ;;
    --build-only) build_only=1 ;;
    *)
      echo "cross-test.sh: unknown argument '$arg' (armhf, arm64, --build-only)" >&2
      exit 2
      ;;
  esac
done
case "$arch" in
  armhf) triple=arm-linux-gnueabihf qemu=qemu-arm ;;
  arm64) triple=aarch64-linux-gnu qemu=qemu-aarch64 ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build="build/$arch"
plugin="$build/plugin/kel36.so"
started=$SECONDS
phase() { echo "== cross-test $arch: $* ($((SECONDS - started)) s)"; }

phase "installing what is missing"
scripts/setup-cross.sh "$arch"

# The plug-in's suites need only JsonCpp and GoogleTest for the target;
# kel36-host also needs the target's SQLite, libmicrohttpd and cpp-httplib, which a
# half-synced archive can make impossible to install (setup-cross.sh said so).
. scripts/lib.sh
host_tool=ON
for p in "libsqlite3-dev:$arch" "libmicrohttpd-dev:$arch" "libcpp-httplib-dev:$arch"; do
  package_installed "$p" || host_tool=OFF
done
if [ "$host_tool" = OFF ]; then
  echo "cross-test $arch: skipped: the ARM build of kel36-host (the target's SQLite, libmicrohttpd or cpp-httplib packages are not installed); kel36.so, its board suites and its link contract are checked as always"
fi

phase "configuring"
cmake --preset "$arch" -DKEL36_BUILD_HOST_TOOL="$host_tool"

# What goes onto the board is the plug-in, so its suites (and the fuzz corpora,
# replayed through the driver's parser) are built and run under emulation. The
# simulator's and kel36-host's suites start the built tools as programs of
# their own (fork and exec); an exec of an ARM program needs qemu registered
# with the kernel's binfmt_misc, which the emulator alone cannot do, so they
# run natively in the main test job. --build-only cross-builds everything.
board_suites=(tests/foundation tests/polling fuzz)
if [ "$build_only" -eq 1 ]; then
  phase "building everything"
  cmake --build --preset "$arch" -- -j2
else
  targets=(plugin/all)
  for suite in "${board_suites[@]}"; do
    # The plug-in's board suites never skip: a missing one is a broken build.
    [ -d "$build/$suite" ] || { echo "cross-test $arch: board suite $suite is not configured" >&2; exit 1; }
    targets+=("$suite/all")
  done
  phase "building ${targets[*]}"
  cmake --build --preset "$arch" -- -j2 "${targets[@]}"
  for suite in "${board_suites[@]}"; do
    phase "running $suite under $qemu"
    ctest --test-dir "$build/$suite" --output-on-failure -j2 --timeout 600
  done
fi

phase "checking the link contract of $plugin with the $triple binutils"
sh tests/foundation/link_contract.sh "$plugin" "$triple-"

phase "done"
