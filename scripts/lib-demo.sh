# SPDX-License-Identifier: MIT
# The demo's run under Xvfb, shared by scripts/demo (the simulated unit
# preloaded, or behind the real USB stack) and scripts/windows --demo (the
# demo variant under Wine, the unit built in): start the program, find its
# window, press Update, wait for the window's result, and check what the unit
# received and how the window ended against what the fault plan says.
#
# The program runs with the watcher in it (tools/watch.cpp: preloaded on
# Linux, built into the Windows demo variant): its "watch ..." lines say what
# the window shows, which the program's own diagnostic lines do not.
# tqr7plan, from the Linux build ($BUILD/sim), reads the firmware files, the
# plan and the unit's records.
# shellcheck shell=bash
# shellcheck source=tests/support/texts.sh
source "$(dirname "${BASH_SOURCE[0]}")/../tests/support/texts.sh"

# demo_start OUT COMMAND...: the program in the background, everything it
# prints kept in OUT/wendrix.log; the terminal gets its diagnostic lines, not
# the watcher's.
demo_start() {
    demo_out=$1
    shift
    demo_log=$demo_out/wendrix.log
    unset QT_QPA_PLATFORM
    "$@" > >(tee "$demo_log" | grep --line-buffered -v '^watch ') 2>&1 &
    demo_pid=$!
    trap 'kill $demo_pid 2>/dev/null || true' EXIT
}

# demo_update FIRMWARE PRESS_SECONDS RESULT_SECONDS [--usb]: the update, from
# the first press to the verdicts, then the end of the script: exit 0 when
# everything went as planned. FIRMWARE is the folder the program reads;
# --usb: the plan as the gadget plays it.
demo_update() {
    local firmware=$1 press_seconds=$2 result_seconds=$3 usb=${4:-} result shot
    demo_window
    # Press once the button is enabled: a press on a disabled button does nothing.
    for _ in $(seq 1 $((press_seconds * 2))); do
        grep -q -E '^(Begin\.\.\.|Firmware File Error:)' "$demo_log" && break
        demo_press
        sleep 0.5
    done
    grep -q '^Begin\.\.\.' "$demo_log" || demo_not_started

    # The update has ended when the window shows its result.
    for _ in $(seq 1 $((result_seconds * 5))); do
        [ -n "$(demo_shows result)" ] && break
        sleep 0.2
    done
    result=$(demo_shows result)
    shot=$demo_out/finished.png
    import -window "$demo_wid" "$shot"
    demo_check "$firmware" "$result" "$usb"
    demo_finish "$shot" "$demo_status"
}

demo_window() {
    demo_wid=$(timeout 120 xdotool search --sync --onlyvisible --name 'Wendrix v1.0 for TQR-7' | head -n 1) || true
    if [ -z "$demo_wid" ]; then
        echo "wendrix: no window appeared within 120 s" >&2
        exit 1
    fi
    local geometry
    geometry=$(xdotool getwindowgeometry --shell "$demo_wid")
    demo_width=$(sed -n 's/^WIDTH=//p' <<<"$geometry")
    demo_height=$(sed -n 's/^HEIGHT=//p' <<<"$geometry")
}

# The Update button sits in the bottom right corner, inside the 11-pixel margin.
demo_press() {
    xdotool mousemove --window "$demo_wid" $((demo_width - 11 - 30)) $((demo_height - 11 - 10)) click 1
}

# demo_shows status|result: the last text the watcher saw there.
demo_shows() {
    grep -o -E "^watch [0-9]+ $1 \"[^\"]*\"" "$demo_log" | tail -n 1 | cut -d'"' -f2
}

demo_finish() {
    echo "wendrix: screenshot of the window: $1"
    xdotool windowfocus --sync "$demo_wid" key Escape 2>/dev/null || true
    # Escape does nothing while an update runs: a demo that gave up waiting
    # for the result ends the program itself.
    for _ in $(seq 1 50); do
        kill -0 "$demo_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill "$demo_pid" 2>/dev/null || true
    wait "$demo_pid" || true
    exit "$2"
}

# No update: a refusal, or an ending the unit's settings planned.
demo_not_started() {
    local shot=$demo_out/not-started.png status
    import -window "$demo_wid" "$shot"
    if grep -q '^Firmware File Error:' "$demo_log"; then
        echo "wendrix: the update was refused before anything was sent: $(grep -m 1 '^Firmware File Error:' "$demo_log" | tr -d '\r')"
        demo_finish "$shot" 1
    fi
    status=$(demo_shows status)
    if [ "${TQR7SIM_ATTACHED:-1}" = 0 ] && [ "$status" = "$kNotConnected" ]; then
        echo "wendrix: no unit attached, as planned: the window says \"$status\" and Update is not offered"
        demo_finish "$shot" 0
    elif [ "${TQR7SIM_UPDATE_MODE:-1}" = 0 ] && [ "$status" = "$kNotInUpdateMode" ]; then
        echo "wendrix: the unit ignores the update-mode query, as planned: the window says \"$status\" and Update is not offered"
        demo_finish "$shot" 0
    fi
    echo "wendrix: the update did not start (window: \"$status\")"
    demo_finish "$shot" 1
}

# The file of a kind the program takes: the one whose name sorts last.
demo_file_of() {
    local files=("$1"/TQR7_"$2"*)
    echo "${files[-1]}"
}

# demo_check FIRMWARE RESULT [--usb]: a line per target and one for the
# window's result, each against the plan; demo_status 1 if any differs.
demo_check() {
    local firmware=$1 result=$2 plan=$BUILD/sim/tqr7plan
    local -A planned
    local gpio midi main word a b c d cut='' unplug_after='' faults expected
    local counts t file name total got want n seconds rate
    gpio=$(demo_file_of "$firmware" GPIO)
    midi=$(demo_file_of "$firmware" MIDI)
    main=$(demo_file_of "$firmware" MAIN)
    mapfile -t counts < <("$plan" lines "$gpio" "$midi" "$main")
    # What the plan says the unit receives, and how the window ends.
    while read -r word a b c d; do
        case $word in
        target) planned[$a]=$b ;;
        cut) cut="$a $b $c $d" ;;
        unplug-after) unplug_after=$a ;;
        esac
    done < <("$plan" ${3:+"$3"} "${counts[@]}")
    faults=${TQR7SIM_FAULTS:-}${unplug_after:+ unplug after $unplug_after ms}
    if [ -z "$cut" ]; then
        expected=$kComplete
    else
        local ct cl ca canswer
        read -r ct cl ca canswer <<<"$cut"
        case $canswer in
        timeout) expected=$kCommsError ;;
        *) expected=$kNoResponse ;;
        esac
        echo "wendrix: the fault plan ($faults) ends the update at target $ct line $cl, attempt $ca ($canswer)"
    fi
    [ -n "$unplug_after" ] && expected=$kNoResponse

    demo_status=0
    for t in 1 2 3 4; do
        case $t in 1) file=$gpio ;; 4) file=$main ;; *) file=$midi ;; esac
        name=$(basename "$file")
        total=$(wc -l <"$file")
        got=$(wc -l <"$demo_out/target$t.hex")
        want=${planned[$t]}
        # An unplug at a time cannot be foreseen: then any intact beginning will do.
        [ -n "$unplug_after" ] && [ "$got" -le "$want" ] && want=$got
        if [ "$got" -eq "$want" ] && cmp -s <(head -n "$want" "$file") "$demo_out/target$t.hex"; then
            if [ "$want" -eq "$total" ]; then
                echo "wendrix: target $t received $name intact ($total lines)"
            elif [ "$want" -eq 0 ]; then
                echo "wendrix: target $t received nothing, as planned: the update ended before it"
            else
                echo "wendrix: target $t received the first $want of $total lines of $name intact, as planned"
            fi
        elif [ -z "$faults" ]; then
            echo "wendrix: target $t did NOT receive $name intact ($got of $total lines)"
            demo_status=1
        else
            echo "wendrix: target $t did NOT receive what the plan says: the first $want of $total lines of $name; it received $got line$([ "$got" -eq 1 ] || echo s)$(cmp -s <(head -n "$got" "$file") "$demo_out/target$t.hex" || echo ", not all of them as in the file")"
            demo_status=1
        fi
    done
    if [ "$result" = "$expected" ]; then
        echo "wendrix: the window ended with \"$result\""
    else
        echo "wendrix: the window ended with \"${result:-nothing}\", not \"$expected\""
        demo_status=1
    fi
    read -r n seconds rate _ < <("$plan" pace "$demo_out/reports.log") || true
    if [ "${n:-0}" -gt 1 ]; then
        echo "wendrix: $n data reports in $seconds s, $rate lines per second"
    fi
    if [ -s "$demo_out/violations.txt" ]; then
        echo "wendrix: the simulated unit saw protocol violations:"
        cat "$demo_out/violations.txt"
        demo_status=1
    fi
    if [ -n "$faults" ] && [ $demo_status -eq 0 ]; then
        echo "wendrix: everything happened as the fault plan says"
    fi
}
