#!/bin/bash
# Retakes the README's pictures under Xvfb, each with a fresh preferences
# folder: docs/remote.png, the remote window at twice its size, and
# docs/console.png, the controller console opened from the Port menu over
# the built-in virtual controller. Needs xvfb-run, xdotool and ImageMagick's
# import, and a built build/src/vantor-ir (or the path given as $1).
set -eu
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
PROGRAM=${1:-$HERE/../build/src/vantor-ir}
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

cat >"$WORK/inner.sh" <<INNER
set -eu
XDG_CONFIG_HOME="$WORK/config" QT_SCALE_FACTOR=2 QT_QPA_PLATFORM=xcb "$PROGRAM" >/dev/null 2>&1 &
APP=\$!
WID=\$(timeout 30 xdotool search --sync --onlyvisible --name '^Remocon\$' | head -n 1)
sleep 1
import -window "\$WID" "$HERE/remote.png"
kill \$APP
INNER
xvfb-run -a -s "-screen 0 1024x1024x24" bash "$WORK/inner.sh"

# The console: a user who chose the virtual controller opens it from the last
# item of the Port menu (the menu's third title, at the right of the remote's
# bar; Up from the top wraps to the last item).
PREFDIR="$WORK/console-config/Tessaro Utilities/VantorController IR"
mkdir -p "$PREFDIR"
printf '%s\n' SerialPort "Virtual QMC-4410" virtual virtual ConnectType 0 \
    NotAutoDisconnect False WirelessWriteSize 1 RBTReqests -1 >"$PREFDIR/VantorController IR.Pref"
cat >"$WORK/console.sh" <<INNER
set -eu
XDG_CONFIG_HOME="$WORK/console-config" XDG_DATA_HOME="$WORK/data" QT_QPA_PLATFORM=xcb \
    "$PROGRAM" >/dev/null 2>&1 &
APP=\$!
WID=\$(timeout 30 xdotool search --sync --onlyvisible --name '^Remocon\$' | head -n 1)
sleep 1
xdotool mousemove --window "\$WID" 118 10 click 1
sleep 0.5
xdotool key Up Return
CON=\$(timeout 30 xdotool search --sync --onlyvisible --name 'コンソール' | head -n 1)
xdotool windowmove "\$CON" 0 0
sleep 3
import -window "\$CON" "$HERE/console.png"
kill \$APP
INNER
xvfb-run -a -s "-screen 0 1280x1024x24" bash "$WORK/console.sh"
