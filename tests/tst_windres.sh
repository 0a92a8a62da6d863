#!/bin/sh
# SPDX-License-Identifier: MIT
# The Windows resources compile, and carry the icon group IDI_ICON1 with both
# images and a manifest asking for asInvoker and common controls 6.
set -eu
usage="usage: tests/tst_windres.sh WINDRES RES_FOLDER"
case ${1:-} in
-h | --help) echo "$usage"; exit 0 ;;
esac
[ $# -eq 2 ] || { echo "$usage" >&2; exit 2; }
windres=$1
res=$2
out=$(mktemp)
trap 'rm -f "$out"' EXIT
cd "$res"
"$windres" --preprocessor=cpp -i wendrix.rc -O rc >"$out"
fail() { echo "FAIL: $1"; exit 1; }
grep -q '"IDI_ICON1" 14 /\* RT_GROUP_ICON \*/' "$out" || fail "no icon group IDI_ICON1"
[ "$(grep -c '/\* RT_ICON \*/' "$out")" -eq 2 ] || fail "the icon group does not hold two images"
grep -q '^1 24 /\* RT_MANIFEST \*/' "$out" || fail "no application manifest"
grep -q 'level="asInvoker"' wendrix.manifest || fail "manifest does not ask for asInvoker"
grep -q 'Microsoft.Windows.Common-Controls" version="6.0.0.0"' wendrix.manifest || fail "no common controls 6"
echo "1 passed, 0 failed"
