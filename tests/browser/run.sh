#!/usr/bin/env bash
# The browser tests, as ctest runs them: playwright-core at the version that
# package-lock.json pins is installed with `npm ci` into $KEL36_NODE_DIR (in
# the build folder, out of git; again only when the lock file changes), then
# node's test runner runs dashboard.test.mjs against Debian's Chromium.
set -euo pipefail
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
node_dir=${KEL36_NODE_DIR:?KEL36_NODE_DIR is not set}
chromium=${KEL36_CHROMIUM:-/usr/bin/chromium}

fail() { echo "browser tests: $*" >&2; exit 1; }
command -v node >/dev/null || fail "node is not installed (Node.js 20 or later is needed)"
major=$(node -p 'process.versions.node.split(".")[0]')
[ "$major" -ge 20 ] || fail "Node.js 20 or later is needed, found $(node --version)"
[ -x "$chromium" ] || fail "$chromium is missing (Debian package chromium; scripts/test.sh installs it)"

mkdir -p "$node_dir"
if ! cmp -s "$here/package-lock.json" "$node_dir/package-lock.json" ||
    [ ! -d "$node_dir/node_modules/playwright-core" ]; then
    cp "$here/package.json" "$here/package-lock.json" "$here/.npmrc" "$node_dir/"
    # The registry can fail a request now and then; try a few times.
    ok=0
    for try in 1 2 3; do
        if (cd "$node_dir" && npm ci --no-audit --no-fund --loglevel=error); then ok=1; break; fi
        [ "$try" -lt 3 ] && { echo "browser tests: npm ci failed (try $try of 3), again in 10 s" >&2; sleep 10; }
    done
    [ "$ok" -eq 1 ] || fail "npm ci of playwright-core failed 3 times"
fi
exec node --test --test-reporter=tap "$here/dashboard.test.mjs" "$here/report-print.test.mjs"
