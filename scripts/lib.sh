# Shared by the scripts: install missing Debian packages, configure and build.
# shellcheck shell=bash

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BUILD=${WENDRIX_BUILD:-$ROOT/build}

# need_packages PKG... installs the packages that are not installed yet.
need_packages() {
    local missing=()
    for pkg in "$@"; do
        dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        echo "wendrix: missing Debian packages: ${missing[*]} (run as root, or: sudo apt-get install ${missing[*]})" >&2
        exit 1
    fi
    echo "wendrix: installing ${missing[*]}" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

BUILD_PACKAGES=(cmake ninja-build g++ pkg-config qtbase5-dev libhidapi-dev python3)

# [WENDRIX_BUILD=dir] configure_and_build [CMAKE ARGS...]
configure_and_build() {
    local build=${WENDRIX_BUILD:-$BUILD}
    cmake -S "$ROOT" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$build"
}
