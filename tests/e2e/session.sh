# Shared by the end-to-end scripts: sourced after `program` and `src` are set. Starts
# Xvfb with a window manager (and, as root, a private cupsd with two queues) for this
# run, and gives the checks and window helpers; everything goes when the script exits.
# The program runs on the X display, whatever the tests around it use.
unset QT_QPA_PLATFORM
work=$(mktemp -d /tmp/quill-e2e-XXXXXX)
# The program's private runtime folder: its single-instance section lives there.
mkdir -m 0700 "$work/runtime"
export XDG_RUNTIME_DIR="$work/runtime"
failures=0
pids=()

cleanup() {
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null; done
    wait 2>/dev/null
    "$src/tests/support/cups-sandbox" stop "$work/cups" >/dev/null 2>&1
    rm -rf "$work"
}
trap cleanup EXIT

passes=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
check() { if eval "$1"; then echo "ok: $2"; passes=$((passes + 1)); else fail "$2"; fi; }

# Waits up to $2 seconds (default 10) until the command line $1 succeeds.
wait_for() {
    local limit=$(( ${2:-10} * 20 ))
    for _ in $(seq 1 "$limit"); do eval "$1" && return 0; sleep 0.05; done
    return 1
}

Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>"$work/display" >/dev/null 2>&1 &
pids+=($!)
wait_for '[ -s "$work/display" ]' || { echo "Xvfb did not start"; exit 1; }
export DISPLAY=":$(head -n1 "$work/display")"
# The server must not reset between clients (-noreset): a reset while the window manager
# connects would make it fail under load.
openbox >/dev/null 2>&1 &
pids+=($!)
wait_for 'xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q "window id"' 30 || {
    echo "openbox did not start on $DISPLAY"
    exit 1
}

if [ "$(id -u)" = 0 ]; then
    "$src/tests/support/cups-sandbox" start "$work/cups" || exit 1
    "$src/tests/support/cups-sandbox" add-queue "$work/cups" Fax
    "$src/tests/support/cups-sandbox" add-queue "$work/cups" QUILL_Amber_PDF_Creator "QUILL Amber PDF Creator"
    export CUPS_SERVER="$work/cups/run/cups.sock"
fi

# The program's main window: the window with the title that the window manager manages.
main_window() {
    local pid=$1 w
    for w in $(xdotool search --all --pid "$pid" --name '^QUILL Server Management$' 2>/dev/null); do
        if xprop -id "$w" WM_STATE 2>/dev/null | grep -q 'window state'; then echo "$w"; return 0; fi
    done
    return 1
}
state_of() { xprop -id "$1" WM_STATE 2>/dev/null | sed -n 's/.*window state: //p'; }
active_window() { xprop -root _NET_ACTIVE_WINDOW | sed -n 's/.*window id # //p'; }
same_window() { [ $(( $1 )) -eq $(( $2 )) ]; }

