#!/usr/bin/env bash
# The documents check against a fixture with one block that holds, one
# drifted capture, one failing command and one unmarked block: it must pass
# the first, name each of the others and fail as a whole.
set -uo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(cd "$here/../.." && pwd)
out=$(python3 "$here/check_docs.py" --root "$root" "$here/fixtures/drift.md" 2>&1)
status=$?
failures=0
check() { # check DESCRIPTION CONDITION...
    local what=$1; shift
    if "$@"; then echo "ok - $what"; else echo "not ok - $what"; failures=$((failures + 1)); fi
}
f=$here/fixtures/drift.md
check "the check fails" [ $status -eq 1 ]
check "the masked capture holds" grep -qF "ok - $f:7 " <<<"$out"
check "the drifted capture is named" grep -qF "FAIL $f:15: the output no longer has the documented shape" <<<"$out"
check "the failing command is named" grep -qF "FAIL $f:23: \`false\` exited 1, expected 0" <<<"$out"
check "the unmarked block is named" grep -qF "FAIL $f:29: a block of commands without a check marker" <<<"$out"
check "a documented status holds" grep -qF "ok - $f:37 " <<<"$out"
check "elided lines hold" grep -qF "ok - $f:50 " <<<"$out"
check "the count is right" grep -qF "5 blocks run, 1 skipped, 3 failed" <<<"$out"
[ $failures -eq 0 ] || printf '%s\n' "$out"
exit $((failures > 0))
