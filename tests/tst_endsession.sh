#!/bin/sh
# SPDX-License-Identifier: MIT
# Windows asks each program before a logoff or a shutdown
# (WM_QUERYENDSESSION): the demo variant, its watcher pressing Update, refuses
# while the update runs, without a question; once the update has ended it
# accepts, and Qt closes its window, which ends it with exit code 0 as a
# close does. Runs under Wine in the Windows suite (the display is
# scripts/windows' Xvfb).
#
#   tst_endsession.sh WINE_RUN WENDRIX_DEMO.exe WINE_ENDSESSION.exe
set -eu
[ $# -eq 3 ] || { echo "usage: tst_endsession.sh WINE_RUN WENDRIX_DEMO.exe WINE_ENDSESSION.exe" >&2; exit 2; }
wine_run=$1 demo=$2 probe=$3
out=$(mktemp -d)
pid=
trap '[ -n "$pid" ] && kill "$pid" 2>/dev/null; rm -rf "$out"' EXIT

# wait_for PATTERN SECONDS: until the program's output has a line matching it.
wait_for() {
    i=0
    while ! grep -q -E "$1" "$out/stderr"; do
        i=$((i + 1))
        [ $i -le $(($2 * 5)) ] || { echo "tst_endsession: never saw '$1'" >&2; cat "$out/stderr" >&2; exit 1; }
        sleep 0.2
    done
}
ask() { "$wine_run" "$probe" "$@" | tr -d '\r'; }

unset QT_QPA_PLATFORM # a real window, which Windows asks
TQR7SIM_ATTACHED=1 TQR7SIM_UPDATE_MODE=1 TQR7SIM_OUT_DIR=$out WENDRIX_WATCH_PRESSES=1 \
    "$wine_run" "$demo" 2>"$out/stderr" &
pid=$!
wait_for '^Begin\.\.\. 1' 120
during=$(ask)
wait_for '^watch [0-9]+ result "Update Complete' 300
after=$(ask)
i=0
while kill -0 "$pid" 2>/dev/null && [ $i -lt 300 ]; do
    i=$((i + 1))
    sleep 0.2
done
status=0
kill -0 "$pid" 2>/dev/null && status=still-running
[ "$status" = still-running ] || wait "$pid" || status=$?
echo "during the update: $during; after it: $after, then exit code $status"
[ "$during" = refused ] && [ "$after" = accepted ] && [ "$status" = 0 ] && pid=
