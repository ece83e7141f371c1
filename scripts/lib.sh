# Shared by the project's scripts: package installation on Debian.

# install_packages PKG... — installs the packages that are missing, with
# apt-get, as root or through sudo; fails with a clear message otherwise.
install_packages() {
    local missing=()
    local pkg
    for pkg in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0

    local sudo=()
    if [ "$(id -u)" -ne 0 ]; then
        if command -v sudo >/dev/null 2>&1; then
            sudo=(sudo)
        else
            echo "error: missing packages: ${missing[*]}; run this script as root or install sudo" >&2
            return 1
        fi
    fi
    echo "== installing: ${missing[*]}"
    "${sudo[@]}" apt-get update -qq || return 1
    DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
        "${missing[@]}" || return 1
}

# Everything a native build, its tests and the tools need.
BUILD_PACKAGES=(
    cmake ninja-build g++ pkg-config binutils
    libboost-dev libjsoncpp-dev libcli11-dev libsqlite3-dev libcpp-httplib-dev
    libgtest-dev libgmock-dev libbenchmark-dev
)

# What only the tests use: Debian's Chromium, the real browser that loads the
# dashboard and the test report (with a small font for the alarms' Chinese
# texts, so that its screenshots show them), and promtool (package
# prometheus) to check /metrics. tests/browser/run.sh takes playwright-core
# from npm at the version its package-lock.json pins.
TEST_PACKAGES=(chromium fonts-wqy-microhei prometheus)

# Node.js and npm drive the browser. The machine usually brings its own
# (Node.js 20 or later, which playwright-core needs); Debian's are installed
# only where there is none, since they would replace the machine's.
NODE_PACKAGES=(nodejs npm)
install_node() {
    command -v node >/dev/null 2>&1 && command -v npm >/dev/null 2>&1 && return 0
    install_packages "${NODE_PACKAGES[@]}"
}
