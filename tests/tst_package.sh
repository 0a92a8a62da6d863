#!/usr/bin/env bash
# Installs the Debian package on this machine, starts the installed program
# offscreen, checks what it put in place, and removes it again. Needs root.
set -euo pipefail
usage="usage: tests/tst_package.sh PACKAGE.deb   installs, checks and removes it (as root)"
case ${1:-} in
-h | --help) echo "$usage"; exit 0 ;;
*.deb) [ $# -eq 1 ] || { echo "$usage" >&2; exit 2; } ;;
*) echo "$usage" >&2; exit 2 ;;
esac
deb=$(realpath "$1")
fail() { echo "FAIL: $1"; exit 1; }

export DEBIAN_FRONTEND=noninteractive
apt-get install -y -qq "$deb" >/dev/null
trap 'apt-get remove -y -qq wendrix >/dev/null 2>&1 || true' EXIT

[ -x /opt/wendrix/wendrix ] || fail "no /opt/wendrix/wendrix"
[ -d /opt/wendrix/firmware ] || fail "no empty firmware folder"
[ -z "$(ls -A /opt/wendrix/firmware)" ] || fail "the firmware folder is not empty"
[ -e /lib/udev/rules.d/70-wendrix-tqr7.rules ] || fail "udev rule not linked"
grep -q '^Exec=/opt/wendrix/wendrix$' /usr/share/applications/wendrix.desktop || fail "desktop entry"

# The installed program runs until it is stopped, looking for its firmware.
log=$(mktemp)
set +e
QT_QPA_PLATFORM=offscreen timeout 3 /opt/wendrix/wendrix >"$log" 2>&1
status=$?
set -e
[ $status -eq 124 ] || { cat "$log"; fail "the installed program ended by itself ($status)"; }
grep -q 'Firmware Path "/opt/wendrix/firmware"' "$log" || { cat "$log"; fail "wrong firmware folder"; }
grep -q 'Firmware Present: false' "$log" || fail "an empty folder counted as firmware"

# Firmware the operator put in is not the package's: removing it leaves that.
kept=/opt/wendrix/firmware/TQR7_MAIN_2-1-4_160315.hex
echo ':00000001FF' >"$kept"
trap 'apt-get remove -y -qq wendrix >/dev/null 2>&1 || true
      rm -f "$kept"; rmdir /opt/wendrix/firmware /opt/wendrix 2>/dev/null || true' EXIT
apt-get remove -y -qq wendrix >/dev/null 2>&1
[ ! -e /lib/udev/rules.d/70-wendrix-tqr7.rules ] || fail "udev rule left after removal"
[ ! -e /opt/wendrix/wendrix ] || fail "program left after removal"
[ -f "$kept" ] || fail "the operator's firmware went with the package"
echo "1 passed, 0 failed"
