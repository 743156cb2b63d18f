#!/usr/bin/env bash
# The real program running natively on Wayland under a headless compositor that the test
# starts itself, and a second start of the same executable: the second start ends at once
# with exit code 0 and hands the running copy the activation token it was started with
# (or one it asked the compositor for); the running copy asks the compositor to activate
# its window with it, and where the window does not become active it asks for attention.
# Under weston also the window's own pixels, from a screenshot of the compositor's output.
#   wayland-second-start.sh PROGRAM weston|mutter CASE
# Exit code 77 (skipped) when the compositor or Qt's Wayland plugin is not installed.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
program=$1
compositor=$2
case_name=$3

if ! command -v "$compositor" >/dev/null; then
    echo "SKIPPED: $compositor is not installed"
    exit 77
fi
if [ "$compositor" = mutter ] && ! command -v dbus-daemon >/dev/null; then
    echo "SKIPPED: mutter needs a session bus (dbus-daemon)"
    exit 77
fi
if ! compgen -G "/usr/lib/*/qt6/plugins/platforms/libqwayland-generic.so" >/dev/null; then
    echo "SKIPPED: Qt's Wayland platform plugin is not installed (qt6-wayland)"
    exit 77
fi
debug=
if [ "$case_name" = TheWindowIsDrawnNatively ]; then
    for tool in weston-screenshooter convert; do
        if ! command -v "$tool" >/dev/null; then
            echo "SKIPPED: $tool is not installed (weston, imagemagick)"
            exit 77
        fi
    done
    # weston offers its screenshot protocol only with --debug.
    debug=--debug
fi

unset DISPLAY WAYLAND_DISPLAY XDG_ACTIVATION_TOKEN DESKTOP_STARTUP_ID QT_QPA_PLATFORM
work=$(mktemp -d /tmp/quill-wayland-XXXXXX)
mkdir -m 0700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime"
# No print server: the window comes up all the same, and nothing here reaches the user's.
export CUPS_SERVER="$work/no-cups.sock"
pids=()
failures=0
passes=0
mutter_pid=
cleanup() {
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
    wait 2>/dev/null
    # mutter leaves the lock files and sockets of the X displays it made for Xwayland.
    if [ -n "$mutter_pid" ]; then
        for lock in /tmp/.X*-lock; do
            [ "$(tr -d ' ' <"$lock" 2>/dev/null)" = "$mutter_pid" ] || continue
            n=${lock#/tmp/.X}
            n=${n%-lock}
            rm -f "$lock" "/tmp/.X11-unix/X$n"
        done
    fi
    [ -d "$work/cups" ] && "$here/../support/cups-sandbox" stop "$work/cups" >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { if eval "$1"; then echo "ok: $2"; passes=$((passes + 1)); else fail "$2"; fi; }
wait_for() {
    local limit=$(( ${2:-10} * 20 ))
    for _ in $(seq 1 "$limit"); do eval "$1" && return 0; sleep 0.05; done
    return 1
}

if [ "$compositor" = weston ]; then
    # weston 10 has no activation protocol.
    weston --backend=headless-backend.so --use-pixman $debug --socket=quill-test --idle-time=0 >"$work/compositor.log" 2>&1 &
    pids+=($!)
else
    # mutter wants a session bus of its own; it has the activation protocol.
    dbus-daemon --session --nofork --nopidfile --print-address=3 3>"$work/bus" >/dev/null 2>&1 &
    pids+=($!)
    wait_for '[ -s "$work/bus" ]' 10 || { echo "dbus-daemon did not start"; exit 1; }
    export DBUS_SESSION_BUS_ADDRESS
    DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$work/bus")
    x11=--no-x11
    if [ "$case_name" = ThroughXWaylandTheSecondStartActivatesTheFirstWindow ]; then
        if ! command -v Xwayland >/dev/null; then
            echo "SKIPPED: Xwayland is not installed"
            exit 77
        fi
        x11=
    fi
    mutter --headless --wayland $x11 --virtual-monitor 1024x768 --wayland-display=quill-test \
        >"$work/compositor.log" 2>&1 &
    mutter_pid=$!
    pids+=($!)
fi
wait_for '[ -S "$XDG_RUNTIME_DIR/quill-test" ]' 20 || {
    echo "$compositor did not start"
    cat "$work/compositor.log"
    exit 1
}
export WAYLAND_DISPLAY=quill-test QT_QPA_PLATFORM=wayland
export QT_LOGGING_RULES="quill.activation.debug=true"

mkdir -p "$work/a"
cp "$program" "$work/a/quill-server-management"
exe="$work/a/quill-server-management"

# Inode numbers come back; the change time tells a new socket from an old one.
socket_id() { stat -c '%i %z' "$XDG_RUNTIME_DIR"/*.activate 2>/dev/null; }

# The first copy; it is up once it listens on a socket of its own (a new one, also where
# a killed copy left its socket behind).
start_first() {
    local before
    before=$(socket_id)
    "$exe" >"$work/first.log" 2>&1 &
    pid1=$!
    pids+=("$pid1")
    wait_for '[ -n "$(socket_id)" ] && [ "$(socket_id)" != "$before" ]' 20 || {
        fail "the first copy does not listen"
        cat "$work/first.log"
        exit 1
    }
    sleep 0.5
    check 'kill -0 $pid1 && ! grep -q "qt.qpa" "$work/first.log"' "the first copy runs (platform $QT_QPA_PLATFORM)"
}

# A second start with the environment given; sets rc and elapsed (ms).
second_start() {
    local start
    start=$(date +%s%N)
    env "$@" timeout 20 "$exe" >"$work/second.log" 2>&1
    rc=$?
    elapsed=$(( ($(date +%s%N) - start) / 1000000 ))
    check '[ $rc -eq 0 ]' "second start ends with exit code 0 (was $rc)"
    check '[ $elapsed -lt 3000 ]' "second start ends at once (${elapsed} ms)"
    check '[ ! -s "$work/second.log" ]' "second start prints nothing"
}

expect_line() { check "wait_for 'grep -qF \"$1\" \"\$work/first.log\"' 10" "the first copy logs: $1"; }

case "$case_name" in
TokenOfTheSecondStartReachesTheFirstCopy)
    start_first
    second_start XDG_ACTIVATION_TOKEN=quill-token-4711 DESKTOP_STARTUP_ID=not-this-one
    expect_line "activation request, token quill-token-4711"
    expect_line "requestActivate called with the token"
    ;;
StartupIdServesAsTheTokenWhenThereIsNoOther)
    start_first
    second_start DESKTOP_STARTUP_ID=launcher-1-host-quill-0_TIME1234
    expect_line "activation request, token launcher-1-host-quill-0_TIME1234"
    expect_line "requestActivate called with the token"
    ;;
WithoutActivationTheWindowAsksForAttention)
    # The compositor has no activation protocol (weston 10), or the start had no token.
    start_first
    second_start
    expect_line "activation request, token (none)"
    expect_line "requestActivate called without a token"
    expect_line "window is not active, asking for attention"
    second_start XDG_ACTIVATION_TOKEN=quill-token-4712
    expect_line "activation request, token quill-token-4712"
    check 'wait_for "[ \$(grep -c \"asking for attention\" \"\$work/first.log\") -ge 2 ]" 10' \
        "a token that the compositor cannot take still ends in a request for attention"
    check 'kill -0 $pid1' "the first copy still runs"
    ;;
StartWithoutATokenAsksTheCompositorForOne)
    # mutter: the second start's own token, made without a user's input, activates no
    # window that is behind another one; the window asks for attention.
    start_first
    mkdir -p "$work/b"
    cp "$program" "$work/b/quill-server-management"
    "$work/b/quill-server-management" >"$work/b.log" 2>&1 &
    pids+=($!)
    sleep 2
    second_start
    check 'wait_for "grep -q \"activation request, token\" \"\$work/first.log\"" 10' "the first copy hears of the second start"
    check '! grep -qF "token (none)" "$work/first.log"' "the compositor gave the second start a token"
    expect_line "requestActivate called with the token"
    expect_line "window is not active, asking for attention"
    check 'kill -0 $pid1' "the first copy still runs"
    ;;
LaunchedSecondStartActivatesTheFirstWindow)
    # mutter: a launcher window has the focus; a key pressed in it starts the program again
    # with a token that carries the key press, and the first copy's window becomes active.
    if ! /usr/bin/python3 -c 'import gi; gi.require_version("Gtk", "3.0"); from gi.repository import Gtk' 2>/dev/null; then
        echo "SKIPPED: the launcher needs GTK 3 for Python (python3-gi, gir1.2-gtk-3.0)"
        exit 77
    fi
    start_first
    GDK_BACKEND=wayland /usr/bin/python3 "$here/wayland-launcher.py" "$exe" >"$work/launcher.log" 2>&1 &
    pids+=($!)
    sleep 2
    /usr/bin/python3 "$here/press-key.py" 28 || fail "no key could be pressed"
    check 'wait_for "grep -q launched \"\$work/launcher.log\"" 10' "the launcher starts the program again"
    check 'grep -q focused "$work/launcher.log"' "the launcher had the focus"
    check 'wait_for "grep -q \"activation request, token\" \"\$work/first.log\"" 10' "the first copy hears of the second start"
    check '! grep -qF "token (none)" "$work/first.log"' "the launcher gave the second start a token"
    expect_line "requestActivate called with the token"
    expect_line "window is active"
    check '! grep -q "asking for attention" "$work/first.log"' "the window did not have to ask for attention"
    ;;
ThroughXWaylandTheSecondStartActivatesTheFirstWindow)
    # mutter with Xwayland: the copies run as X11 clients; the second start activates the
    # first window through the window manager, with a real time stamp.
    wait_for 'grep -q "Using public X11 display" "$work/compositor.log"' 20 || { fail "no Xwayland"; exit 1; }
    export DISPLAY
    DISPLAY=$(sed -n 's/.*Using public X11 display \(:[0-9]*\).*/\1/p' "$work/compositor.log" | head -n1)
    export XAUTHORITY
    XAUTHORITY=$(ls "$XDG_RUNTIME_DIR"/.mutter-Xwaylandauth.* 2>/dev/null | head -n1)
    export QT_QPA_PLATFORM=xcb
    active() { xprop -root _NET_ACTIVE_WINDOW 2>/dev/null | sed -n 's/.*# //p'; }
    start_first
    wait_for '[ -n "$(active)" ] && [ "$(active)" != 0x0 ]' 10
    first_window=$(active)
    xmessage -name other "another window" &
    pids+=($!)
    check 'wait_for "[ \"\$(active)\" != $first_window ]" 10' "another window is in front"
    second_start
    check 'wait_for "[ \"\$(active)\" = $first_window ]" 10' "the first window is active again"
    check '! grep -qi "buggy" "$work/compositor.log"' "the window manager finds no fault with the activation"
    ;;
TheWindowIsDrawnNatively)
    # The main window with a private print server's queues, as weston draws it: the button
    # panel's colour, the buttons' green, the list's white and its selected row (the managed
    # printer) cover a good part of the 1024x640 output. The first screenshots may come
    # before the window's first frame.
    sandbox="$here/../support/cups-sandbox"
    "$sandbox" start "$work/cups" >/dev/null || { fail "the private print server does not start"; exit 1; }
    "$sandbox" add-queue "$work/cups" Fax
    "$sandbox" add-queue "$work/cups" QUILL_Amber_PDF_Creator "QUILL Amber PDF Creator"
    export CUPS_SERVER="$work/cups/run/cups.sock"
    start_first
    mkdir "$work/shots"
    # Pixels of one colour (#RRGGBB) in the histogram.
    pixels() { awk -v c="$1" 'toupper($3) == c { n = $1 + 0 } END { print n + 0 }' "$work/histogram"; }
    shot=
    for _ in $(seq 1 20); do
        rm -f "$work/shots"/*.png
        # It writes wayland-screenshot-<time>.png into the current folder.
        (cd "$work/shots" && timeout 5 weston-screenshooter) >/dev/null 2>&1
        shot=$(ls "$work/shots"/wayland-screenshot-*.png 2>/dev/null | head -n1)
        : >"$work/histogram"
        [ -n "$shot" ] && convert "$shot" -alpha off -format %c histogram:info:- >"$work/histogram" 2>/dev/null
        panel=$(pixels '#E8E3E7')
        buttons=$(pixels '#99CC66')
        white=$(pixels '#FFFFFF')
        selected=$(pixels '#308CC6')
        [ "$panel" -ge 15000 ] && [ "$buttons" -ge 30000 ] && [ "$white" -ge 60000 ] && [ "$selected" -ge 1000 ] && break
        sleep 0.25
    done
    check '[ -n "$shot" ]' "weston-screenshooter takes a screenshot"
    check '[ "$panel" -ge 15000 ]' "the button panel (232,227,231) is drawn ($panel px)"
    check '[ "$buttons" -ge 30000 ]' "the buttons (153,204,102) are drawn ($buttons px)"
    check '[ "$white" -ge 60000 ]' "the printer list's white is drawn ($white px)"
    check '[ "$selected" -ge 1000 ]' "the managed printer's row is selected (48,140,198: $selected px)"
    check '! grep -q "qt.qpa" "$work/first.log"' "the copy logs no platform warning"
    ;;
KilledCopyLeavesNoObstacle)
    start_first
    kill -KILL "$pid1"
    wait "$pid1" 2>/dev/null
    check '[ -n "$(socket_id)" ]' "the killed copy left its socket behind"
    start_first
    second_start XDG_ACTIVATION_TOKEN=after-the-kill
    expect_line "activation request, token after-the-kill"
    kill -TERM "$pid1"
    wait "$pid1"
    rc=$?
    check '[ $rc -eq 0 ]' "the copy ends with exit code 0 on SIGTERM (was $rc)"
    check '[ -z "$(socket_id)" ]' "the copy that ends removes its socket"
    ;;
*)
    echo "unknown case $case_name"
    exit 2
    ;;
esac

echo "$passes passed, $failures failed"
[ "$failures" -eq 0 ]
