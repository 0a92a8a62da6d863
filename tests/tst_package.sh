#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian package as a packager and a user meet it. Needs root.
#
#   lintian, desktop-file-validate and appstreamcli on what it ships;
#   installed on this machine: its files in place and its own, the program
#   started offscreen through /usr/bin/wendrix; removed again, leaving only
#   the firmware the operator put in;
#   installed into a minimal Debian 13 system and started offscreen there.
#
# The Debian 13 system is made once with mmdebstrap from Debian's mirror and
# kept in /var/cache/wendrix/debian13 (WENDRIX_CACHE overrides
# /var/cache/wendrix), with the packages its installs download.
set -euo pipefail
source "$(dirname "$0")/../scripts/lib.sh"
usage="usage: tests/tst_package.sh PACKAGE.deb   checks, installs and removes it (as root)"
case ${1:-} in
-h | --help) echo "$usage"; exit 0 ;;
*.deb) [ $# -eq 1 ] || { echo "$usage" >&2; exit 2; } ;;
*) echo "$usage" >&2; exit 2 ;;
esac
deb=$(realpath "$1")
[ "$(id -u)" -eq 0 ] || { echo "tests/tst_package.sh: installing the package needs root" >&2; exit 1; }
need_packages lintian desktop-file-utils appstream mmdebstrap

passed=0
ok() { passed=$((passed + 1)); echo "ok   $1"; }
fail() { echo "FAIL $1"; exit 1; }
work=$(mktemp -d)
cleanup() { rm -rf "$work"; }
trap cleanup EXIT
export DEBIAN_FRONTEND=noninteractive

# ---- what it ships ----------------------------------------------------------
# lintian shows an overridden tag as "O:" under the override's comment ("N:");
# anything else is a finding. Shown, an overridden error sets its exit status
# 2 too; 1 is lintian failing to run.
status=0
lintian --show-overrides "$deb" >"$work/lintian" 2>&1 || status=$?
[ $status -ne 1 ] || { cat "$work/lintian"; fail "lintian could not check the package"; }
grep -v -e '^N: ' -e '^O: wendrix: dir-or-file-in-opt ' -e '^running with root privileges' \
    "$work/lintian" >"$work/findings" || true
[ ! -s "$work/findings" ] || { cat "$work/lintian"; fail "lintian finds more than dir-or-file-in-opt"; }
grep -q '^O: wendrix: dir-or-file-in-opt ' "$work/lintian" || { cat "$work/lintian"; fail "lintian: no override used"; }
ok "lintian: nothing but dir-or-file-in-opt, overridden"

dpkg-deb -x "$deb" "$work/deb"
entry=$work/deb/usr/share/applications/wendrix.desktop
[ -f "$entry" ] || fail "no desktop entry in /usr/share/applications"
out=$(desktop-file-validate "$entry" 2>&1) || true
[ -z "$out" ] || { echo "$out"; fail "desktop-file-validate"; }
ok "desktop-file-validate: clean"

metainfo=$(find "$work/deb/usr/share/metainfo" -name '*.metainfo.xml' 2>/dev/null)
[ "$(echo "$metainfo" | grep -c .)" -eq 1 ] || fail "not one metainfo file in /usr/share/metainfo"
status=0
out=$(appstreamcli validate --no-net "$metainfo" 2>&1) || status=$?
if [ $status -ne 0 ] || echo "$out" | grep -q '^[EW]: '; then
    echo "$out"
    fail "appstreamcli validate: errors or warnings"
fi
# Infos are shown, not failed: the id's first part is the reserved domain
# invalid, as in the package's contact address.
echo "$out" | sed -n 's/^\(I: .*\)/     appstreamcli \1/p'
# Software centres find the program through the entry it names.
launchable=$(sed -n 's|.*<launchable type="desktop-id">\(.*\)</launchable>.*|\1|p' "$metainfo")
[ "$launchable" = wendrix.desktop ] || fail "the metainfo launches '$launchable', not the package's wendrix.desktop"
ok "appstreamcli validate: no errors or warnings; launches wendrix.desktop"

# ---- installed on this machine ---------------------------------------------
trap 'apt-get remove -y -qq wendrix >/dev/null 2>&1 || true; cleanup' EXIT
apt-get install -y -qq "$deb" >"$work/install" 2>&1 || { cat "$work/install"; fail "apt-get install"; }
dpkg-query -L wendrix >"$work/files"

[ -x /opt/wendrix/wendrix ] || fail "no /opt/wendrix/wendrix"
[ -d /opt/wendrix/firmware ] || fail "no empty firmware folder"
[ -z "$(ls -A /opt/wendrix/firmware)" ] || fail "the firmware folder is not empty"
[ "$(readlink /usr/bin/wendrix)" = /opt/wendrix/wendrix ] || fail "/usr/bin/wendrix is no link to /opt/wendrix/wendrix"
# Each is a file of the package, not made by a script behind dpkg's back.
for path in /usr/lib/udev/rules.d/70-wendrix-tqr7.rules /usr/share/applications/wendrix.desktop \
    /usr/share/icons/hicolor/16x16/apps/wendrix.png /usr/share/icons/hicolor/32x32/apps/wendrix.png \
    "${metainfo#"$work/deb"}" /usr/share/doc/wendrix/copyright /usr/share/doc/wendrix/changelog.gz \
    /usr/share/man/man1/wendrix.1.gz /usr/bin/wendrix; do
    [ -e "$path" ] || fail "$path not installed"
    grep -qxF "$path" "$work/files" || fail "$path is not the package's"
done
grep -q '^Exec=wendrix$' /usr/share/applications/wendrix.desktop || fail "the desktop entry does not start wendrix"
grep -q '^Icon=wendrix$' /usr/share/applications/wendrix.desktop || fail "the desktop entry's icon is not the theme's wendrix"
ok "installed: the program and firmware folder in /opt/wendrix, the rest in /usr as the package's files"

# The program, started as a user would by its name, runs until it is stopped
# and looks for its firmware beside the real executable, not the link.
[ "$(command -v wendrix)" = /usr/bin/wendrix ] || fail "wendrix on the PATH is $(command -v wendrix)"
set +e
QT_QPA_PLATFORM=offscreen timeout 3 wendrix >"$work/run" 2>&1
status=$?
set -e
[ $status -eq 124 ] || { cat "$work/run"; fail "the installed program ended by itself ($status)"; }
grep -q 'Firmware Path "/opt/wendrix/firmware"' "$work/run" || { cat "$work/run"; fail "wrong firmware folder"; }
grep -q 'Firmware Present: false' "$work/run" || fail "an empty folder counted as firmware"
ok "started through /usr/bin/wendrix: runs, looks in /opt/wendrix/firmware"

# Firmware the operator put in is not the package's: removing it leaves that,
# and nothing else.
kept=/opt/wendrix/firmware/TQR7_MAIN_2-1-4_160315.hex
echo ':00000001FF' >"$kept"
trap 'apt-get remove -y -qq wendrix >/dev/null 2>&1 || true
      rm -f "$kept"; rmdir /opt/wendrix/firmware /opt/wendrix 2>/dev/null || true; cleanup' EXIT
apt-get remove -y -qq wendrix >/dev/null 2>&1
while read -r path; do
    [ -d "$path" ] && [ ! -L "$path" ] && continue # folders other packages share stay
    if [ -e "$path" ] || [ -L "$path" ]; then fail "$path left after removal"; fi
done <"$work/files"
[ ! -e /usr/share/doc/wendrix ] || fail "/usr/share/doc/wendrix left after removal"
[ -f "$kept" ] || fail "the operator's firmware went with the package"
ok "removed: nothing left but the operator's firmware"

# ---- Debian 13 --------------------------------------------------------------
# The system: made once, kept as a tarball with its package lists; unpacked
# afresh for each run. The packages installs download are kept beside it.
cache=${WENDRIX_CACHE:-/var/cache/wendrix}/debian13
mkdir -p "$cache/archives/partial"
(
    flock 9 # one maker at a time: CI and a developer may both find it missing
    if [ ! -f "$cache/trixie.tar" ]; then
        echo "     making a minimal Debian 13 system in $cache (once)"
        mmdebstrap --variant=apt --skip=cleanup/apt/lists --format=tar trixie "$cache/trixie.tar.new" \
            >"$cache/mmdebstrap.log" 2>&1 || { tail -n 20 "$cache/mmdebstrap.log"; exit 1; }
        mv "$cache/trixie.tar.new" "$cache/trixie.tar"
    fi
) 9>"$cache/.lock" || fail "mmdebstrap could not make the Debian 13 system"
root=$work/trixie
mkdir "$root"
tar -C "$root" -xf "$cache/trixie.tar"
cp "$deb" "$root/tmp/wendrix.deb"
cp /etc/resolv.conf "$root/etc/resolv.conf"
# In a mount namespace of its own: the mounts go with it, however it ends.
inside=$(
    cat <<'INSIDE'
set -eu
root=$1 cache=$2
mount --bind "$cache/archives" "$root/var/cache/apt/archives"
mount -t proc proc "$root/proc"
in_root() { chroot "$root" env DEBIAN_FRONTEND=noninteractive PATH=/usr/sbin:/usr/bin:/sbin:/bin "$@"; }
# What the package's Depends bring, no more: the program must start with
# that. No pseudo-terminal here for dpkg's output.
install() { in_root apt-get install -y --no-install-recommends -o Dpkg::Use-Pty=0 /tmp/wendrix.deb; }
# The kept package lists may name versions the mirror has since replaced.
install || { in_root apt-get update && install; }
echo "== installed"
in_root dpkg-query -W -f '${db:Status-Abbrev} ${Package} ${Version}\n' wendrix 'libqt5*' 'libhidapi*' \
    | sed -n 's/^ii  //p'
echo "== started"
set +e
in_root env QT_QPA_PLATFORM=offscreen timeout 5 wendrix
echo "== ended $?"
INSIDE
)
status=0
unshare --mount --fork -- bash -c "$inside" inside "$root" "$cache" </dev/null >"$work/trixie.log" 2>&1 || status=$?
[ $status -eq 0 ] || { cat "$work/trixie.log"; fail "the package does not install in Debian 13"; }
if grep -E -q '^(W|E): |^dpkg: warning' "$work/trixie.log"; then
    cat "$work/trixie.log"
    fail "installing in Debian 13 warns"
fi
sed -n '/^== installed/,/^== started/p' "$work/trixie.log" | sed '1d;$d' | sed 's/^/     Debian 13: /'
grep -q '^== ended 124$' "$work/trixie.log" || { cat "$work/trixie.log"; fail "the program ended by itself in Debian 13"; }
grep -q 'Firmware Path "/opt/wendrix/firmware"' "$work/trixie.log" || { cat "$work/trixie.log"; fail "wrong firmware folder in Debian 13"; }
ok "Debian 13: installs from its own archive and starts offscreen through /usr/bin/wendrix"

echo "$passed passed, 0 failed"
