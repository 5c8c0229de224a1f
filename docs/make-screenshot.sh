#!/bin/bash
# Retakes docs/remote.png: the remote window at twice its size, under Xvfb,
# with a fresh preferences folder. Needs xvfb-run, xdotool and ImageMagick's
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
