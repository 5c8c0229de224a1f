#!/bin/bash
# End to end: the real program under an X server, the real mouse, the emulator
# on a pseudo-terminal: key clicks and pop-up choices, checked against the
# bytes the emulator received; Ctrl+Q quits.
#
# Usage (inside an X display, e.g. under xvfb-run):
#   remote_clicks.sh <vantor-ir> <qmc-emulator>
set -u

VANTOR=$1
EMULATOR=$2

WORK=$(mktemp -d)
EMU_PID=
APP_PID=

cleanup() {
    [ -n "$APP_PID" ] && kill "$APP_PID" 2>/dev/null
    [ -n "$EMU_PID" ] && kill "$EMU_PID" 2>/dev/null
    wait 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    cat "$WORK/trace" "$WORK/app.log" >&2 2>/dev/null
    exit 1
}

# Waits up to $2 tenths of a second for the command $1 to succeed.
wait_for() {
    local i
    for ((i = 0; i < $2; i++)); do
        eval "$1" && return 0
        sleep 0.1
    done
    return 1
}

# The bytes the emulator received so far, as "05 20 ...".
received() {
    sed -n 's/^rx \([0-9A-F][0-9A-F]\) .*/\1/p' "$WORK/trace" | tr '\n' ' ' | sed 's/ $//'
}

expect_received() {
    EXPECTED=$1
    wait_for '[ "$(received)" = "$EXPECTED" ]' 100 ||
        fail "emulator received '$(received)', expected '$EXPECTED'"
}

"$EMULATOR" --trace --exit-after-idle 60 >"$WORK/emu.out" 2>"$WORK/trace" &
EMU_PID=$!
wait_for '[ -s "$WORK/emu.out" ]' 100 || fail "the emulator printed no device path"
PTY=$(head -n 1 "$WORK/emu.out")

# Preferences of a user who chose the emulator's pseudo-terminal before.
PREFDIR="$WORK/config/Tessaro Utilities/VantorController IR"
mkdir -p "$PREFDIR"
printf 'SerialPort\n%s\n\n\nConnectType\n0\nNotAutoDisconnect\nFalse\nWirelessWriteSize\n1\nRBTReqests\n-1\n' \
    "$PTY" >"$PREFDIR/VantorController IR.Pref"

XDG_CONFIG_HOME="$WORK/config" XDG_DATA_HOME="$WORK/data" VANTOR_IR_PORTS="$PTY" QT_QPA_PLATFORM=xcb \
    "$VANTOR" >"$WORK/app.log" 2>&1 &
APP_PID=$!

WID=$(timeout 30 xdotool search --sync --onlyvisible --name '^Remocon$' | head -n 1)
[ -n "$WID" ] || fail "no Remocon window"

# The content (133 x 398) sits under the menu bar at the window's bottom.
eval "$(xdotool getwindowgeometry --shell "$WID")"
TOP=$((HEIGHT - 398))

# Left-clicks the centre of a key given as "left top width height".
click_key() {
    xdotool mousemove --window "$WID" $(($1 + $3 / 2)) $((TOP + $2 + $4 / 2)) click 1
}
KEY5="54 89 26 18"
KEY32="57 296 21 18"
KEY1="21 65 26 18"

# Opens the pop-up on the settings text and picks its item number $1
# (1: "ID=1" .. 4: "ID=4", 5: "#1 variable" .. 12: "#8 variable").
visible_windows() {
    xdotool search --onlyvisible --classname 'vantor-ir' 2>/dev/null | wc -l
}
choose() {
    local before attempt
    before=$(visible_windows)
    # A right-click that comes right after a pop-up closed can be swallowed
    # by the X server's grab hand-over; a user would simply click again.
    for attempt in 1 2 3; do
        xdotool mousemove --window "$WID" 66 $((TOP + 350)) click 3
        wait_for '[ "$(visible_windows)" -gt "$before" ]' 20 && break
    done
    [ "$(visible_windows)" -gt "$before" ] || fail "no pop-up appeared"
    xdotool key --delay 60 $(for ((i = 0; i < $1; i++)); do printf 'Down '; done) Return
    wait_for '[ "$(visible_windows)" -eq "$before" ]' 100 || fail "the pop-up stayed open"
}

# The window is mapped; give it a moment to take input.
sleep 0.5
click_key $KEY5
expect_received "05"
click_key $KEY32
expect_received "05 20"

choose 2 # ID=2
choose 7 # #3 variable
click_key $KEY5
expect_received "05 20 F8 42 01 25"

choose 4 # ID=4
choose 5 # #1 variable
click_key $KEY32
expect_received "05 20 F8 42 01 25 FF 80"
click_key $KEY1
expect_received "05 20 F8 42 01 25 FF 80 61"

# Closing the remote window quits the program.
xdotool windowfocus --sync "$WID" 2>/dev/null
xdotool key --clearmodifiers ctrl+q
wait_for '! kill -0 $APP_PID 2>/dev/null' 100 || fail "the program did not quit on Ctrl+Q"
wait "$APP_PID"
STATUS=$?
APP_PID=
[ "$STATUS" -eq 0 ] || fail "the program exited with status $STATUS"

echo "PASS: $(received)"
