# SPDX-License-Identifier: MIT
# Shared by the Windows scripts: where the cross toolchain cache lives and how
# to tell it is ready.
# shellcheck shell=bash
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

WINDOWS_CACHE=${WENDRIX_WINDOWS_CACHE:-/var/cache/wendrix/windows}
WINDOWS_QT=$WINDOWS_CACHE/qt5
WINDOWS_HIDAPI=$WINDOWS_CACHE/hidapi
# shellcheck disable=SC2034 # used by the scripts that source this file
WINDOWS_TOOL_PACKAGES=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64)

windows_cache_ready() {
    [ -f "$WINDOWS_CACHE/ready" ] && [ -x "$WINDOWS_QT/bin/qmake" ] \
        && [ -f "$WINDOWS_HIDAPI/lib/libhidapi.a" ]
}

# Qt's threads and our own need the posix flavour of the mingw-w64 compilers.
windows_select_posix_threads() {
    local tool
    for tool in gcc g++; do
        if [ "$(readlink -f "/usr/bin/x86_64-w64-mingw32-$tool")" != "/usr/bin/x86_64-w64-mingw32-$tool-posix" ]; then
            update-alternatives --set "x86_64-w64-mingw32-$tool" "/usr/bin/x86_64-w64-mingw32-$tool-posix" >/dev/null
        fi
    done
}
