#!/usr/bin/env bash
# The real program under Xvfb with a window manager: one copy per executable path, a
# second start brings the first forward and ends at once with exit code 0.
#   single-instance.sh PROGRAM SOURCE_DIR
set -uo pipefail

program=$1
src=$2
source "$(dirname "$0")/session.sh"

# Copies at paths of this run's own, so that nothing else shares their instance key.
mkdir -p "$work/a" "$work/b"
cp "$program" "$work/a/quill-server-management"
cp "$program" "$work/b/quill-server-management"
first="$work/a/quill-server-management"

"$first" >"$work/first.log" 2>&1 &
pid1=$!
pids+=("$pid1")
wait_for 'main_window $pid1 >/dev/null' || { fail "the first copy shows no window"; exit 1; }
win1=$(main_window "$pid1")
echo "first copy: pid $pid1, window $win1"

# 1. Minimised first copy: the second start restores it and makes it active.
xdotool windowminimize "$win1"
wait_for '[ "$(state_of $win1)" = Iconic ]' || fail "the window manager did not minimise the window"
windows_before=$(xdotool search --name . 2>/dev/null | wc -l)
start=$(date +%s%N)
timeout 20 "$first" >"$work/second.log" 2>&1
rc=$?
elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
check '[ $rc -eq 0 ]' "second start ends with exit code 0 (was $rc)"
check '[ $elapsed -lt 3000 ]' "second start ends at once (${elapsed} ms)"
check '[ ! -s "$work/second.log" ]' "second start prints nothing"
check 'wait_for "[ \"\$(state_of $win1)\" = Normal ]" 5' "first window is restored"
check 'wait_for "same_window \"\$(active_window)\" $win1" 5' "first window is active"
check 'kill -0 $pid1' "first copy still runs"
check '[ "$(xdotool search --name . 2>/dev/null | wc -l)" -eq "$windows_before" ]' "the second start left no window"

# 2. First copy behind another window: brought forward only.
xmessage -name other -title other "another window" &
pids+=($!)
other_pid=$!
other_window() {
    local w
    for w in $(xdotool search --name '^other$' 2>/dev/null); do
        if xprop -id "$w" WM_STATE 2>/dev/null | grep -q 'window state'; then echo "$w"; return 0; fi
    done
    return 1
}
wait_for 'other_window >/dev/null' || fail "xmessage did not start"
other=$(other_window)
xdotool windowactivate "$other" 2>/dev/null
check 'wait_for "same_window \"\$(active_window)\" $other" 5' "another window is in front"
timeout 20 "$first" >/dev/null 2>&1
check '[ $? -eq 0 ]' "second start behind another window ends with exit code 0"
check 'wait_for "same_window \"\$(active_window)\" $win1" 5' "first window comes to the front"
check '[ "$(state_of $win1)" = Normal ]' "first window stays normal"
kill "$other_pid" 2>/dev/null

# 2b. A launched second start ends the launcher's startup notification: it shows no window
# of its own that would.
xev -root -event property >"$work/root-events.log" 2>&1 &
xev_pid=$!
pids+=("$xev_pid")
wait_for '[ -s "$work/root-events.log" ] || sleep 0.3' 3
DESKTOP_STARTUP_ID='quill-launcher-7-host-quill-server-management-0_TIME0' timeout 20 "$first" >/dev/null 2>&1
check '[ $? -eq 0 ]' "a launched second start ends with exit code 0"
check 'wait_for "grep -q _NET_STARTUP_INFO_BEGIN \"\$work/root-events.log\"" 5' \
    "a launched second start ends its startup notification"
kill "$xev_pid" 2>/dev/null

# 3. A copy at another path runs beside the first.
"$work/b/quill-server-management" >"$work/b.log" 2>&1 &
pidb=$!
pids+=("$pidb")
check 'wait_for "main_window $pidb >/dev/null" 10' "a copy at another path shows its own window"
kill -TERM "$pidb" 2>/dev/null
wait "$pidb"
rc=$?
check '[ $rc -eq 0 ]' "SIGTERM ends the program with exit code 0 (was $rc)"

# 4. A start after the first copy was killed with SIGKILL runs.
kill -KILL "$pid1"
wait "$pid1" 2>/dev/null
"$first" >/dev/null 2>&1 &
pid3=$!
pids+=("$pid3")
check 'wait_for "main_window $pid3 >/dev/null" 10' "a start after a killed copy runs"

# 5. A start after the first copy ended normally runs, and leaves no section behind.
kill -TERM "$pid3"
wait "$pid3"
rc=$?
check '[ $rc -eq 0 ]' "a copy that ends normally exits with code 0 (was $rc)"
key=$(basename "$work")
check '[ -z "$(ls "$XDG_RUNTIME_DIR" | grep -F "$key" | grep -v "\.start$")" ]' "the last copy removes the section"
"$first" >/dev/null 2>&1 &
pid4=$!
pids+=("$pid4")
check 'wait_for "main_window $pid4 >/dev/null" 10' "a start after the first copy ended runs"

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
