#!/usr/bin/env bash
# Builds everything and runs every test: the sanitizer build (ASan + UBSan),
# bounded fuzzing, the 32-bit ARM build under emulation, and last the normal
# build's suite, whose ctest verdict closes the output after the time each
# phase took. Both suites include
# the browser test (ctest label "browser": Chromium against kel36-host).
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
. scripts/lib.sh
# Each phase says how long the one before it took, and the end lists them
# all, so a change can see what it adds to the run.
phase_names=()
phase_seconds=()
phase_started=$SECONDS
step() {
    finish_phase
    phase_names+=("$*")
    phase_started=$SECONDS
    echo; echo "== $*"
}
finish_phase() {
    [ ${#phase_names[@]} -gt ${#phase_seconds[@]} ] || return 0
    phase_seconds+=($((SECONDS - phase_started)))
    echo "== ${phase_names[-1]}: $((SECONDS - phase_started)) s"
}
summary() {
    finish_phase
    echo
    echo "== time per phase"
    local i
    for i in "${!phase_names[@]}"; do
        printf '%6d s  %s\n' "${phase_seconds[$i]}" "${phase_names[$i]}"
    done
    printf '%6d s  in all\n' "$SECONDS"
}
trap summary EXIT

step "installing what is missing"
install_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
install_node

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

if [ -x scripts/package.sh ]; then
    step "Debian packages: built, linted, installed, run and purged; ARM plug-ins checked"
    scripts/package.sh all
    tests/packaging/install_test.sh amd64 armhf arm64
fi

step "normal build"
cmake --preset default >/dev/null
cmake --build --preset default
ctest_log=$(mktemp)
ctest --preset default 2>&1 | tee "$ctest_log"

# The time table, then ctest's verdict again, so that it still closes the output.
trap - EXIT
summary
echo
grep -E '^[0-9]+% tests passed|^Total Test time' "$ctest_log" || true
rm -f "$ctest_log"
