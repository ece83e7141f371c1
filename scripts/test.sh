#!/usr/bin/env bash
# Builds everything and runs every test: the sanitizer build (ASan + UBSan),
# bounded fuzzing, the 32-bit ARM build under emulation, and last the normal
# build's suite, whose ctest summary closes the output. Both suites include
# the browser test (ctest label "browser": Chromium against kel36-host).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
. scripts/lib.sh
install_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
install_node

step() { echo; echo "== $*"; }

step "sanitizer build (AddressSanitizer + UndefinedBehaviorSanitizer)"
cmake --preset asan >/dev/null
cmake --build --preset asan
ctest --preset asan

if [ -x scripts/fuzz.sh ]; then
    step "bounded fuzzing"
    scripts/fuzz.sh "${KEL36_FUZZ_SECONDS:-60}"
fi

if [ -x scripts/cross-test.sh ]; then
    step "32-bit ARM build, tests under emulation"
    scripts/cross-test.sh armhf
fi

step "normal build"
cmake --preset default >/dev/null
cmake --build --preset default
ctest --preset default
