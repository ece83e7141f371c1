#!/usr/bin/env bash
# Installs what cross-building kel36 for ARM boards needs on Debian 12, and what
# running the ARM unit tests under user-mode emulation needs:
#   build machine: the cross compiler and binutils for the triple, qemu-user,
#                  CMake, Ninja, pkg-config, the CLI11 headers and the Boost headers (Boost is used
#                  for its headers only, and they are the same for every target);
#   target, board: JsonCpp, GoogleTest and GoogleMock (kel36.so and its suites);
#   target, tools: SQLite (the history of kel36-host), libmicrohttpd (its web
#                  view), cpp-httplib (its tests' HTTP client) and libmosquitto (its
#                  MQTT publishing), as multiarch packages.
# Multiarch packages come from the main archive with the sources as they are;
# only the foreign architecture has to be enabled.
#
# The board's packages are required. The tools' packages may be impossible to
# install for a while (a half-synced archive leaves the target's libc6-dev or
# libssl3 at another version than the build machine's: multi-arch skew); then
# this prints one line saying so and exits 0, and the ARM build leaves the
# tools out (scripts/cross-test.sh). Nothing is ever removed to make room.
#
# Usage: scripts/setup-cross.sh [armhf|arm64|all]   (default: armhf)
# Runs apt-get as root, or through sudo. Does nothing when all is in place.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
. "$here/lib.sh"

arch=${1:-armhf}
case "$arch" in
  armhf) arches=(armhf) ;;
  arm64) arches=(arm64) ;;
  all) arches=(armhf arm64) ;;
  *)
    echo "setup-cross.sh: unknown architecture '$arch' (armhf, arm64 or all)" >&2
    exit 2
    ;;
esac

triple_of() {
  case "$1" in
    armhf) echo arm-linux-gnueabihf ;;
    arm64) echo aarch64-linux-gnu ;;
  esac
}

board=(cmake ninja-build pkgconf libboost-dev libcli11-dev qemu-user)
tools=()
for a in "${arches[@]}"; do
  board+=("g++-$(triple_of "$a")" "libjsoncpp-dev:$a" "libgtest-dev:$a" "libgmock-dev:$a")
  tools+=("libsqlite3-dev:$a" "libmicrohttpd-dev:$a" "libcpp-httplib-dev:$a" "libmosquitto-dev:$a")
done

foreign=" $(dpkg --print-foreign-architectures | tr '\n' ' ') "
for a in "${arches[@]}"; do
  if [[ "$foreign" != *" $a "* ]]; then
    echo "setup-cross.sh: enabling architecture $a"
    as_root dpkg --add-architecture "$a"
    kel36_apt_updated=""   # the new architecture's indexes are not there yet
  fi
done

install_packages "${board[@]}" || exit 1
if ! try_install_packages "${tools[@]}"; then
  echo "setup-cross.sh: skipping the tools for ${arches[*]} (the plug-in and its board tests are unaffected): $kel36_apt_error"
  exit 0
fi
echo "setup-cross.sh: everything for ${arches[*]} is installed"
