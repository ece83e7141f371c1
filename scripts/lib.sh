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
    libboost-dev libjsoncpp-dev libcli11-dev libsqlite3-dev
    libgtest-dev libgmock-dev libbenchmark-dev
)
