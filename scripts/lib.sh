# Shared by the project's scripts: package installation on Debian.
#
# The archive may be half-synced while a script runs: an index update then
# fails ("File has unexpected size ... Mirror sync in progress?") although the
# indexes already on the machine are good enough for what is asked. So an
# update is retried a few times and then given up with a warning; only an
# install that cannot be done fails, with the packages and apt's reason on
# one line. No install ever removes a package: asked for a foreign-
# architecture package whose multi-arch sibling is at another version, apt
# would otherwise "solve" it by removing the native one and everything that
# depends on it, wrecking the machine the rest of the run builds on.

# Tries and pause (seconds) of an index update; the self-check sets the pause to 0.
KEL36_APT_UPDATE_TRIES=${KEL36_APT_UPDATE_TRIES:-3}
KEL36_APT_RETRY_PAUSE=${KEL36_APT_RETRY_PAUSE:-20}

# as_root CMD... — runs a command as root, directly or through sudo.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then
        "$@"
    elif command -v sudo >/dev/null 2>&1; then
        sudo "$@"
    else
        echo "error: need root to run: $*; run this script as root or install sudo" >&2
        return 1
    fi
}

# package_installed PKG — true when dpkg has PKG (name or name:arch) installed.
package_installed() {
    dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q "install ok installed"
}

# apt_update — updates the package indexes once per script; retries a failed
# update, then goes on with the indexes the machine has.
apt_update() {
    [ -n "${kel36_apt_updated:-}" ] && return 0
    kel36_apt_updated=1
    local try log
    log=$(mktemp)
    for ((try = 1; try <= KEL36_APT_UPDATE_TRIES; try++)); do
        if as_root apt-get update -qq >"$log" 2>&1; then
            rm -f "$log"
            return 0
        fi
        if [ "$try" -lt "$KEL36_APT_UPDATE_TRIES" ]; then
            echo "warning: package index update failed (try $try of $KEL36_APT_UPDATE_TRIES), again in ${KEL36_APT_RETRY_PAUSE} s: $(apt_reason "$log")" >&2
            sleep "$KEL36_APT_RETRY_PAUSE"
        fi
    done
    echo "warning: package index update failed $KEL36_APT_UPDATE_TRIES times; going on with the indexes this machine has: $(apt_reason "$log")" >&2
    rm -f "$log"
    return 0
}

# apt_reason LOG — apt's own reason from its output, on one line.
apt_reason() {
    local reason
    reason=$(grep -E '^(E|W|Err):|Depends:|Breaks:|Conflicts:|unmet|Unable to|not going to be installed|would be removed|removal' "$1" |
        grep -vE '^W: (Target|Skipping)' | sed -E 's/[[:space:]]+/ /g; s/^ //' | head -6 | paste -sd ';' -)
    [ -n "$reason" ] || reason=$(tail -3 "$1" | sed -E 's/[[:space:]]+/ /g' | paste -sd ';' -)
    echo "${reason:-no message from apt}"
}

# try_install_packages PKG... — installs what is missing; returns 1 with the
# one-line reason in $kel36_apt_error when it cannot (prints nothing then).
try_install_packages() {
    kel36_apt_error=""
    local missing=() pkg log
    for pkg in "$@"; do
        package_installed "$pkg" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "== installing: ${missing[*]}"
    apt_update
    log=$(mktemp)
    if as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends \
        --no-remove "${missing[@]}" >"$log" 2>&1; then
        rm -f "$log"
        return 0
    fi
    kel36_apt_error="cannot install ${missing[*]}: $(apt_reason "$log")"
    rm -f "$log"
    return 1
}

# install_packages PKG... — installs the packages that are missing; fails with
# one line naming them and apt's reason otherwise.
install_packages() {
    try_install_packages "$@" && return 0
    echo "error: $kel36_apt_error" >&2
    return 1
}

# Everything a native build, its tests and the tools need.
BUILD_PACKAGES=(
    cmake ninja-build g++ pkg-config binutils python3 gzip
    libboost-dev libjsoncpp-dev libcli11-dev libsqlite3-dev libcpp-httplib-dev libmicrohttpd-dev
    libmosquitto-dev
    libgtest-dev libgmock-dev libbenchmark-dev
)

# What only the tests use: Debian's Chromium, the real browser that loads the
# dashboard and the test report (with a small font for the alarms' Chinese
# texts, so that its screenshots show them), and promtool (package
# prometheus) to check /metrics; pdftotext (poppler-utils) reads back the
# report printed to PDF; lintian, bash-completion and qemu-user for the
# packages' test; sqlite3 and curl for the documents' commands; mosquitto,
# its clients and openssl for the broker the MQTT tests start (with a test
# CA); tshark reads captures with the shipped dissector; amtool (package
# prometheus-alertmanager) checks the alert route example.
# tests/browser/run.sh takes playwright-core from npm at the version its
# package-lock.json pins.
TEST_PACKAGES=(chromium fonts-wqy-microhei prometheus sqlite3 curl lintian bash-completion qemu-user
    poppler-utils mosquitto mosquitto-clients openssl tshark prometheus-alertmanager)

# Node.js and npm drive the browser. The machine usually brings its own
# (Node.js 20 or later, which playwright-core needs); Debian's are installed
# only where there is none, since they would replace the machine's.
NODE_PACKAGES=(nodejs npm)
install_node() {
    command -v node >/dev/null 2>&1 && command -v npm >/dev/null 2>&1 && return 0
    install_packages "${NODE_PACKAGES[@]}"
}

# retry TRIES PAUSE CMD... — runs CMD until it succeeds, at most TRIES times.
retry() {
    local tries=$1 pause=$2 try
    shift 2
    for ((try = 1; try <= tries; try++)); do
        "$@" && return 0
        [ "$try" -lt "$tries" ] && { echo "warning: '$*' failed (try $try of $tries), again in $pause s" >&2; sleep "$pause"; }
    done
    return 1
}
