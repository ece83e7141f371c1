#!/usr/bin/env bash
# Installs what cross-building kel36 for ARM boards needs on Debian 12, and what
# running the ARM unit tests under user-mode emulation needs:
#   build machine: the cross compiler and binutils for the triple, qemu-user,
#                  CMake, Ninja, pkg-config, the CLI11 headers and the Boost headers (Boost is used
#                  for its headers only, and they are the same for every target);
#   target:        JsonCpp, SQLite (the history of kel36-host), GoogleTest and
#                  GoogleMock as multiarch packages.
# Multiarch packages come from the main archive with the sources as they are;
# only the foreign architecture has to be enabled.
#
# Usage: scripts/setup-cross.sh [armhf|arm64|all]   (default: armhf)
# Runs apt-get as root, or through sudo. Does nothing when all is in place.
set -euo pipefail

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

installed() {
  [ "$(dpkg-query -W -f='${db:Status-Status}' "$1" 2>/dev/null)" = installed ]
}

wanted=(cmake ninja-build pkgconf libboost-dev libcli11-dev qemu-user)
for a in "${arches[@]}"; do
  wanted+=("g++-$(triple_of "$a")" "libjsoncpp-dev:$a" "libgtest-dev:$a" "libgmock-dev:$a" "libsqlite3-dev:$a")
done

missing=()
for p in "${wanted[@]}"; do
  installed "$p" || missing+=("$p")
done
foreign=" $(dpkg --print-foreign-architectures | tr '\n' ' ') "
new_arches=()
for a in "${arches[@]}"; do
  [[ "$foreign" == *" $a "* ]] || new_arches+=("$a")
done

if [ ${#missing[@]} -eq 0 ] && [ ${#new_arches[@]} -eq 0 ]; then
  echo "setup-cross.sh: everything for ${arches[*]} is installed"
  exit 0
fi

if [ "$(id -u)" -eq 0 ]; then
  as_root=()
elif command -v sudo >/dev/null 2>&1; then
  as_root=(sudo)
else
  echo "setup-cross.sh: need root to install: ${new_arches[*]:+architectures ${new_arches[*]}; }packages ${missing[*]}" >&2
  echo "setup-cross.sh: run this script as root, or install sudo" >&2
  exit 1
fi

for a in "${new_arches[@]}"; do
  echo "setup-cross.sh: enabling architecture $a"
  "${as_root[@]}" dpkg --add-architecture "$a"
done
echo "setup-cross.sh: installing ${missing[*]}"
"${as_root[@]}" apt-get update -q
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
  apt-get install -y -q --no-install-recommends "${missing[@]}"
