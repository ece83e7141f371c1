#!/usr/bin/env bash
# scripts/run.sh in a copy of the repository whose build steps are fakes and
# whose kel36-host reports the directory it runs in and its arguments: the
# caller's relative paths must reach kel36-host unchanged and be read from
# the caller's directory; the main job without arguments runs paced.
set -uo pipefail
src=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() { # check DESCRIPTION CONDITION...
    local what=$1; shift
    if "$@"; then echo "ok - $what"; else echo "not ok - $what"; failures=$((failures + 1)); fi
}

repo="$work/repo"
mkdir -p "$repo/scripts" "$repo/build/default/kel36-host" "$work/bin" "$work/caller/sub"
cp "$src/scripts/run.sh" "$repo/scripts/"
printf 'BUILD_PACKAGES=()\ninstall_packages() { :; }\n' >"$repo/scripts/lib.sh"
printf '#!/bin/sh\necho "cmake in $PWD" >>"%s/cmake.log"\n' "$work" >"$work/bin/cmake"
cat >"$repo/build/default/kel36-host/kel36-host" <<'FAKE'
#!/bin/sh
echo "cwd $PWD"
for a in "$@"; do echo "arg $a"; done
FAKE
chmod +x "$work/bin/cmake" "$repo/build/default/kel36-host/kel36-host"

out=$(cd "$work/caller/sub" && PATH="$work/bin:$PATH" bash "$repo/scripts/run.sh" --config ../my.json -o report.html)
check "run.sh exits 0 with arguments" [ $? -eq 0 ]
check "kel36-host runs in the caller's directory" grep -qxF "cwd $work/caller/sub" <<<"$out"
check "relative arguments reach kel36-host unchanged" \
    test "$(grep '^arg ' <<<"$out" | tr '\n' ' ')" = "arg --config arg ../my.json arg -o arg report.html "
check "the build runs from the repository root" grep -qxF "cmake in $repo" "$work/cmake.log"

out=$(cd "$work/caller" && PATH="$work/bin:$PATH" bash "$repo/scripts/run.sh")
check "the main job polls the examples' controllers paced" \
    test "$(grep '^arg ' <<<"$out" | tr '\n' ' ')" = "arg --config arg $repo/examples/host.json arg --rounds arg 5 arg --sim-pace "

[ $failures -eq 0 ] && echo "all run.sh checks passed"
exit $((failures > 0))
