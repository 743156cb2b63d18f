#!/usr/bin/env bash
# The real program under Xvfb with the "Printer Activities" window open: closing the
# main window ends the program within 3 s, and so does each of SIGTERM, SIGINT and
# SIGHUP; a start afterwards shows its window (the single-instance place was given back).
#   program-end.sh PROGRAM SOURCE_DIR
set -uo pipefail

program=$1
src=$2
source "$(dirname "$0")/session.sh"

mkdir -p "$work/a"
cp "$program" "$work/a/quill-server-management"
copy="$work/a/quill-server-management"

monitor_window() { xdotool search --all --pid "$1" --name '^Printer Activities$' 2>/dev/null | head -n1; }

# Starts a copy and opens "Printer Activities" with the main window's "Monitor Printer"
# button (the first button of the left panel); sets pid and win.
start_with_monitor() {
    "$copy" >>"$work/program.log" 2>&1 &
    pid=$!
    pids+=("$pid")
    wait_for 'main_window $pid >/dev/null' || { fail "a start shows no window"; return 1; }
    win=$(main_window "$pid")
    xdotool mousemove --window "$win" 60 28 click 1
    wait_for '[ -n "$(monitor_window $pid)" ]' || { fail "Monitor Printer opens no window"; return 1; }
    # The monitor has started when its start lines are in the log of the system.
    sleep 1
}

# Waits up to 3 s for the process to end; the time it took in ms, or fails.
ends_within_3s() {
    local started=$1
    wait_for '! kill -0 $pid 2>/dev/null' 3 || return 1
    wait "$pid" 2>/dev/null
    echo $(( ($(date +%s%N) - started) / 1000000 ))
}

# 1. Closing the main window through the window manager.
if start_with_monitor; then
    xdotool windowactivate --sync "$win" 2>/dev/null
    started=$(date +%s%N)
    xdotool key --clearmodifiers alt+F4
    ms=$(ends_within_3s "$started")
    check '[ -n "$ms" ]' "closing the main window with Printer Activities open ends the program (${ms:-no end} ms)"
    kill -KILL "$pid" 2>/dev/null
fi

# 2. The signals that end the program as closing its window does.
for signal in TERM INT HUP; do
    start_with_monitor || continue
    started=$(date +%s%N)
    kill -"$signal" "$pid"
    ms=$(ends_within_3s "$started")
    check '[ -n "$ms" ]' "SIG$signal with Printer Activities open ends the program (${ms:-no end} ms)"
    kill -KILL "$pid" 2>/dev/null
done

# 3. The place was given back every time: a new start shows its window.
"$copy" >>"$work/program.log" 2>&1 &
pid=$!
pids+=("$pid")
check 'wait_for "main_window $pid >/dev/null" 10' "a start afterwards shows its window"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
