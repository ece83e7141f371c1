#!/usr/bin/env bash
# Cross-builds kel36.so and the unit tests for an ARM board, runs the tests under
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

phase "configuring"
cmake --preset "$arch"

phase "building"
cmake --build --preset "$arch" -- -j2

# Tests that start the built tools as programs of their own (fork + exec) need
# the kernel to run ARM executables, which only a binfmt_misc registration of
# qemu gives; the emulator itself cannot follow an exec. By convention those are
# the suites named *Tool and the soak run. They run natively in the main test
# job; here they run too when the kernel can start an ARM program directly.
spawning='Tool\.|^soak\.'
if [ "$build_only" -eq 0 ]; then
  phase "running the unit tests under $qemu"
  probe="$build/sim/kel36-sim"
  if [ -x "$probe" ] && "$probe" --help >/dev/null 2>&1; then
    ctest --preset "$arch"
  else
    echo "cross-test.sh: this kernel cannot exec ARM programs; skipping tests matching '$spawning'"
    ctest --preset "$arch" -E "$spawning"
  fi
fi

phase "checking the link contract of $plugin"
contract=tests/foundation/link_contract.sh
if [ -x "$contract" ] || [ -f "$contract" ]; then
  bash "$contract" "$plugin" "$triple-"
else
  # The foundation suite's checker is not there yet: the same two rules here.
  readelf=$triple-readelf
  command -v "$readelf" >/dev/null || readelf=readelf
  bad_needed=$("$readelf" -d "$plugin" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' |
    grep -Ev '^(libstdc\+\+\.so\.6|libm\.so\.6|libgcc_s\.so\.1|libc\.so\.6|ld-linux[-a-z0-9_.]*\.so\.[0-9]+)$' || true)
  exported=$("$readelf" --dyn-syms -W "$plugin" |
    awk '$1 ~ /^[0-9]+:$/ && $7 != "UND" && $5 != "LOCAL" && $8 != "" {print $8}' | sed 's/@.*//' | sort -u)
  if [ -n "$bad_needed" ]; then
    echo "cross-test.sh: $plugin needs more than the C/C++ runtime: $bad_needed" >&2
    exit 1
  fi
  if [ "$exported" != get_providers ]; then
    echo "cross-test.sh: $plugin must export only get_providers, exports: $exported" >&2
    exit 1
  fi
  echo "link contract: NEEDED only C/C++ runtime; exports only get_providers"
fi

phase "done"
