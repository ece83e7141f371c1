#!/usr/bin/env bash
# The package steps against a fake apt-get first on PATH: an archive whose
# index update fails ("Mirror sync in progress?") and whose target packages
# for the tools cannot be installed (multi-arch version skew). The scripts
# must retry the update and go on, never let apt remove a package, fail only
# for what is needed with one line naming the packages and apt's reason, and
# leave the tools out of the ARM build with one line saying so.
set -uo pipefail
scripts=$(cd "$(dirname "${BASH_SOURCE[0]}")/../../scripts" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
check() { # check DESCRIPTION CONDITION...
    local what=$1; shift
    if "$@"; then echo "ok - $what"; else echo "not ok - $what"; failures=$((failures + 1)); fi
}

mkdir -p "$work/bin"
# dpkg-query: a package is installed when it is listed in $work/installed.
cat >"$work/bin/dpkg-query" <<'FAKE'
#!/usr/bin/env bash
pkg=${!#}
grep -qxF "$pkg" "$FAKE_APT_DIR/installed" && { printf 'install ok installed'; exit 0; }
exit 1
FAKE
cat >"$work/bin/dpkg" <<'FAKE'
#!/usr/bin/env bash
echo "dpkg $*" >>"$FAKE_APT_DIR/calls"
[ "$1" = --print-foreign-architectures ] && echo armhf
exit 0
FAKE
# apt-get: the update always fails as during a mirror sync; an install fails
# with apt's skew message when it names a package listed in $work/skewed.
cat >"$work/bin/apt-get" <<'FAKE'
#!/usr/bin/env bash
echo "apt-get $*" >>"$FAKE_APT_DIR/calls"
case " $* " in
*" update "*)
    echo "E: Failed to fetch http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-armhf/Packages.xz  File has unexpected size (117204 != 117188). Mirror sync in progress? [IP: 151.101.2.132 80]" >&2
    exit 100 ;;
*" install "*)
    pkgs=()
    for a in "$@"; do case "$a" in -*|install) ;; *) pkgs+=("$a") ;; esac; done
    for p in "${pkgs[@]}"; do
        if grep -qxF "$p" "$FAKE_APT_DIR/skewed"; then
            echo "Some packages could not be installed. This may mean that you have"
            echo "The following packages have unmet dependencies:"
            echo " libc6-dev:armhf : Depends: linux-libc-dev:armhf but it is not going to be installed"
            echo "E: Unable to correct problems, you have held broken packages." >&2
            exit 100
        fi
    done
    printf '%s\n' "${pkgs[@]}" >>"$FAKE_APT_DIR/installed"
    exit 0 ;;
esac
exit 0
FAKE
chmod +x "$work/bin/"*

reset_fake() { : >"$work/installed"; : >"$work/skewed"; }
: >"$work/calls"
export FAKE_APT_DIR=$work KEL36_APT_RETRY_PAUSE=0 PATH="$work/bin:$PATH"

# 1. A broken index update is retried, then the install goes on.
reset_fake
out=$(bash -c ". '$scripts/lib.sh' && install_packages cmake libjsoncpp-dev" 2>&1)
rc=$?
check "install succeeds although every index update fails" [ "$rc" -eq 0 ]
check "the index update is tried three times" [ "$(grep -c 'apt-get update' "$work/calls")" -eq 3 ]
check "the failed update is named with apt's reason" grep -q "Mirror sync in progress" <<<"$out"
check "the packages were installed" grep -qx libjsoncpp-dev "$work/installed"

# 2. The cross setup: board packages install, the tools' packages are skewed.
reset_fake
printf '%s\n' libsqlite3-dev:armhf >"$work/skewed"
out=$(bash "$scripts/setup-cross.sh" armhf 2>&1)
rc=$?
check "setup-cross.sh succeeds when only the tools' target packages are skewed" [ "$rc" -eq 0 ]
check "the board's packages are installed" grep -qx libgtest-dev:armhf "$work/installed"
skip=$(grep -c '^setup-cross.sh: skipping the tools for armhf' <<<"$out")
check "one line says the tools are skipped" [ "$skip" -eq 1 ]
check "that line names the packages and apt's reason" \
    grep -q 'cannot install libsqlite3-dev:armhf libmicrohttpd-dev:armhf libcpp-httplib-dev:armhf libmosquitto-dev:armhf: .*unmet dependencies.*libc6-dev:armhf : Depends' <<<"$out"

# 3. What the board needs cannot be installed: a clean failure, one line.
reset_fake
printf '%s\n' libjsoncpp-dev:armhf >"$work/skewed"
out=$(bash "$scripts/setup-cross.sh" armhf 2>&1)
rc=$?
check "setup-cross.sh fails when the board's packages cannot be installed" [ "$rc" -ne 0 ]
check "one error line names them and apt's reason" \
    [ "$(grep -c '^error: cannot install .*libjsoncpp-dev:armhf.*Unable to correct problems' <<<"$out")" -eq 1 ]

# 4. No install of any scenario may ever remove a package.
all_calls=$(grep 'apt-get.* install ' "$work/calls" || true)
check "every install is asked with --no-remove" bash -c '! grep -v -- "--no-remove" <<<"$1" | grep -q .' _ "$all_calls"

[ "$failures" -eq 0 ] && echo "apt resilience: all checks passed" || echo "apt resilience: $failures checks failed"
exit $((failures > 0))
