#!/usr/bin/env bash
# Bounded fuzzing: builds the libFuzzer targets (preset "fuzz": clang, ASan and
# UBSan) and runs each for the given number of seconds over a scratch copy of
# its committed corpus, so the committed corpus never grows by itself. Any
# crash, leak, hang or broken invariant fails the run; the scratch directory
# with the log and the input that caused it is then kept and its path printed.
#
#   scripts/fuzz.sh [SECONDS_PER_TARGET [TARGET...]]    (default 60, all targets)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$root"
. scripts/lib.sh
install_packages "${BUILD_PACKAGES[@]}" clang libclang-rt-dev

seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(reply_stream device_config sim_request)
case "$seconds" in
    ''|*[!0-9]*) echo "error: seconds per target must be a whole number, got '$seconds'" >&2; exit 2 ;;
esac

cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --parallel "${KEL36_JOBS:-2}" --target "${targets[@]/#/fuzz_}"

work="$(mktemp -d "${TMPDIR:-/tmp}/kel36-fuzz.XXXXXX")"
failed=()
for target in "${targets[@]}"; do
    dir="$work/$target"
    mkdir -p "$dir/corpus" "$dir/findings"
    cp fuzz/corpus/"$target"/* "$dir/corpus/"
    echo "== fuzzing $target for ${seconds}s"
    # -timeout: an input that runs for seconds is a hang, hence a finding.
    if (cd "$dir" && "$root/build/fuzz/fuzz/fuzz_$target" \
            -max_total_time="$seconds" -timeout=10 -print_final_stats=1 \
            -dict="$root/fuzz/$target.dict" -artifact_prefix="$dir/findings/" \
            corpus) >"$dir/log" 2>&1; then
        grep -E '^#[0-9]+[[:space:]]+DONE' "$dir/log" | tail -1 || true
        grep -E '^stat::(number_of_executed_units|peak_rss_mb)' "$dir/log" || true
    else
        echo "!! $target: finding (log and input in $dir)"
        grep -E 'invariant failed|ERROR:|SUMMARY:|Test unit written' "$dir/log" | head -20 || tail -30 "$dir/log"
        failed+=("$target")
    fi
done

if [ ${#failed[@]} -gt 0 ]; then
    echo "fuzzing failed: ${failed[*]} (work directory kept: $work)" >&2
    exit 1
fi
rm -rf "$work"
echo "fuzzing: ${#targets[@]} targets, ${seconds}s each, no findings"
