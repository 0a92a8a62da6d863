# SPDX-License-Identifier: MIT
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

# What builds Wendrix and its tests (which reach Qt's session hooks through its
# private headers), and what the tests run: logind and the desktop portal as
# mocks on buses of their own.
# shellcheck disable=SC2034 # used by the scripts that source this file
BUILD_PACKAGES=(cmake ninja-build g++ pkg-config qtbase5-dev qtbase5-private-dev libhidapi-dev python3)
# shellcheck disable=SC2034
TEST_PACKAGES=(python3-dbusmock dbus-daemon)

# Arguments. A script sets USAGE to its usage text, then hands what it does
# not understand to usage_error, which prints the usage and exits 2.
usage_error() {
    echo "${0#"$ROOT"/}: $*" >&2
    printf '%s\n' "${USAGE:-usage: ${0#"$ROOT"/}}" >&2
    exit 2
}

# no_arguments "$@": for a script that takes none; -h or --help prints the usage.
no_arguments() {
    [ $# -eq 0 ] && return 0
    case $1 in
    -h | --help) printf '%s\n' "${USAGE:-usage: ${0#"$ROOT"/}}"; exit 0 ;;
    esac
    usage_error "unknown argument '$1'"
}

# The generator a build folder was made with, Ninja for a new one. A folder
# made by hand (e.g. cmake -B build-qt6, Unix Makefiles) keeps its own: cmake
# cannot switch a folder to another generator, so the scripts reuse it. A
# folder made for another source tree cannot be reused at all; say so at once.
build_generator() {
    local cache=$1/CMakeCache.txt home generator
    if [ ! -f "$cache" ]; then
        echo Ninja
        return 0
    fi
    home=$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$cache")
    if [ -n "$home" ] && [ "$(cd "$home" 2>/dev/null && pwd -P)" != "$(cd "$ROOT" && pwd -P)" ]; then
        echo "wendrix: $1 was configured for the sources in $home, not $ROOT; remove it (rm -rf $1) and run again" >&2
        return 1
    fi
    generator=$(sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' "$cache")
    echo "${generator:-Ninja}"
}

# [WENDRIX_BUILD=dir] configure [CMAKE ARGS...]
# Wendrix's options are named every time, so that a folder made by hand with
# other values (say -DWENDRIX_QT_MAJOR=6) builds what the script means to run.
configure() {
    local build=${WENDRIX_BUILD:-$BUILD} generator
    generator=$(build_generator "$build") || exit 1
    [ "$generator" = Ninja ] || echo "wendrix: $build was made with the $generator generator; building it with that" >&2
    cmake -S "$ROOT" -B "$build" -G "$generator" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DWENDRIX_QT_MAJOR=5 -DWENDRIX_SANITIZE=OFF -DWENDRIX_FUZZ=OFF "$@" >/dev/null
}

# [WENDRIX_BUILD=dir] build [CMAKE BUILD ARGS...], e.g. build --target wendrix
build() {
    cmake --build "${WENDRIX_BUILD:-$BUILD}" --parallel "$(nproc)" "$@"
}

# [WENDRIX_BUILD=dir] configure_and_build [CMAKE ARGS...]
configure_and_build() {
    configure "$@"
    build
}
