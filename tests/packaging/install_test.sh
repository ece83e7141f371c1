#!/usr/bin/env bash
# The packages as an integrator gets them (scripts/package.sh): lintian finds
# nothing to warn of; the amd64 packages install with apt-get, kel36-host and
# kel36-sim work from the installed paths alone (no build tree), the man
# pages render without a warning, the unit passes systemd-analyze verify and
# scores 2.5 or lower; kel36-build-plugin builds kel36.so from kel36-dev; a
# purge removes every file they installed and the service's state. The ARM
# plug-in packages' kel36.so keeps the link contract by the target's
# binutils, and an ARM kel36-tools package, where one was built, runs
# --version under qemu.
#
#   tests/packaging/install_test.sh [ARCH...]   (as root; default: amd64 armhf arm64)
set -uo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
packages=$root/build/packages
arches=("$@")
[ ${#arches[@]} -gt 0 ] || arches=(amd64 armhf arm64)
failures=0
check() { # check DESCRIPTION COMMAND...
    local what=$1; shift
    if "$@"; then echo "ok - $what"; else echo "not ok - $what"; failures=$((failures + 1)); fi
}
deb() { ls "$packages"/"$1"_*_"$2".deb 2>/dev/null | tail -1; }
# The link contract as a package states it: libc6, libgcc-s1, libstdc++6 only.
only_runtime_depends() {
    ! dpkg-deb -f "$1" Depends | tr ',' '\n' | sed 's/^ *//; s/[ :].*//' |
        grep -vxE 'libc6|libgcc-s1|libstdc\+\+6' | grep -q .
}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# lintian: no error and no warning on any package.
lintian --fail-on none "$packages"/*.deb >"$work/lintian" 2>&1
grep -v 'running with root privileges' "$work/lintian" | sed 's/^/  lintian: /'
check "lintian: no errors or warnings" bash -c '! grep -qE "^[EW]: " "$1"' _ "$work/lintian"

plugin=$(deb kel36-plugin amd64) tools=$(deb kel36-tools amd64) dev=$(deb kel36-dev all)
version=$(dpkg-deb -f "$tools" Version)
DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-remove "$plugin" "$tools" "$dev" \
    >"$work/install" 2>&1
check "apt-get installs the amd64 packages" [ $? -eq 0 ] || tail -5 "$work/install"
check "kel36-plugin amd64 depends on nothing but the C/C++ run-time" only_runtime_depends "$plugin"
installed=$(dpkg-query -W -f='${binary:Package}\n' kel36-plugin kel36-tools kel36-dev 2>/dev/null | wc -l)
check "all three are installed" [ "$installed" -eq 3 ]

# From the installed paths only: a PATH without the build tree, another directory.
cd "$work"
export PATH=/usr/sbin:/usr/bin:/sbin:/bin
check "kel36-host --version is the package's" [ "$(kel36-host --version)" = "kel36-host $version" ]
check "kel36-sim --version is the package's" [ "$(kel36-sim --version)" = "kel36-sim $version" ]
check "kel36-host --check finds the installed plug-in" \
    bash -c '[ "$(readlink -f "$(kel36-host --check | sed -n "1s/^plug-in  *\([^ ]*\).*/\1/p")")" = "$(dpkg -L kel36-plugin | grep "/kel36.so$")" ]'
check "a short simulated run polls" bash -c 'kel36-host --rounds 2 --interval 0 | grep -cE "  round [0-9]+  uab" | grep -qx 2'

for page in $(dpkg -L kel36-tools kel36-dev | grep '/man/.*\.gz$'); do
    check "man page $(basename "$page") renders without a warning" \
        bash -c 'zcat "$1" | groff -ww -z -man 2>&1 | { ! grep -q .; }' _ "$page"
done
check "bash completion completes kel36-host's options" bash -c '
    . /usr/share/bash-completion/bash_completion 2>/dev/null
    . /usr/share/bash-completion/completions/kel36-host
    COMP_WORDS=(kel36-host --hist); COMP_CWORD=1; COMP_LINE="kel36-host --hist"; COMP_POINT=${#COMP_LINE}
    _kel36_host; [ "${COMPREPLY[*]}" = "--history" ]'

# The dissector as docs/capture.md installs it, for a user of its own (HOME).
check "Wireshark loads the installed dissector from a user's plug-in folder" bash -c '
    command -v tshark >/dev/null || exit 0
    mkdir -p "$1/user/.local/lib/wireshark/plugins"
    ln -s /usr/share/kel36/wireshark/kel36.lua "$1/user/.local/lib/wireshark/plugins/"
    HOME="$1/user" tshark -G plugins 2>/dev/null | grep -q "^kel36.lua[[:space:]].*lua script"' _ "$work"

unit=/lib/systemd/system/kel36-host.service
# (Its findings are printed, not tee'd to /dev/stderr: reopening a log file
# that stderr is would truncate it.)
check "systemd-analyze verify accepts the unit" bash -c 'out=$(systemd-analyze verify "$1" 2>&1); [ -z "$out" ] || printf "%s\n" "$out"; [ -z "$out" ]' _ "$unit"
score=$(systemd-analyze security --offline=true "$unit" 2>/dev/null | sed -n 's/.*Overall exposure level for .*: \([0-9.]*\).*/\1/p')
echo "  unit exposure: ${score:-none}"
check "the unit's exposure is 2.5 or lower" awk -v s="${score:-99}" 'BEGIN { exit !(s <= 2.5) }'

check "kel36-build-plugin builds kel36.so from kel36-dev with the contract kept" \
    bash -c 'kel36-build-plugin --framework /usr/share/kel36/src/framework --out "$1/dev-build" >"$1/build-plugin.log" 2>&1 ||
             { tail -5 "$1/build-plugin.log"; false; }' _ "$work"

# The service's state, as a run would leave it, goes with a purge.
mkdir -p /var/lib/kel36 && : >/var/lib/kel36/history.db
files=$(dpkg -L kel36-plugin kel36-tools kel36-dev | while read -r f; do [ -d "$f" ] || echo "$f"; done)
DEBIAN_FRONTEND=noninteractive apt-get purge -y -q kel36-dev kel36-tools kel36-plugin >"$work/purge" 2>&1
check "apt-get purge removes the packages" [ $? -eq 0 ]
left=$(for f in $files /etc/kel36 /var/lib/kel36; do [ -e "$f" ] && echo "$f"; done)
check "the purge left nothing behind${left:+: $left}" [ -z "$left" ]

for arch in "${arches[@]}"; do
    [ "$arch" = amd64 ] && continue
    case "$arch" in armhf) triple=arm-linux-gnueabihf qemu=qemu-arm ;; arm64) triple=aarch64-linux-gnu qemu=qemu-aarch64 ;; esac
    p=$(deb kel36-plugin "$arch")
    check "kel36-plugin for $arch was built" [ -n "$p" ] || continue
    mkdir -p "$work/$arch" && dpkg-deb -x "$p" "$work/$arch"
    check "kel36-plugin $arch depends on nothing but the C/C++ run-time" only_runtime_depends "$p"
    check "the $arch plug-in keeps the link contract ($triple binutils)" \
        sh "$root/tests/foundation/link_contract.sh" "$(find "$work/$arch" -name kel36.so)" "$triple-"
    t=$(deb kel36-tools "$arch")
    if [ -n "$t" ]; then
        mkdir -p "$work/$arch-tools" && dpkg-deb -x "$t" "$work/$arch-tools"
        check "kel36-host for $arch runs --version under $qemu" \
            bash -c '"$1" "$2/usr/bin/kel36-host" --version | grep -q "^kel36-host "' _ "$qemu" "$work/$arch-tools"
    else
        echo "skipped: kel36-tools for $arch was not built (see scripts/package.sh's line above)"
    fi
done

[ "$failures" -eq 0 ] && echo "packages: all checks passed" || echo "packages: $failures checks failed"
exit $((failures > 0))
