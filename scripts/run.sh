#!/usr/bin/env bash
# Installs what is missing, builds the program in build/ and starts it.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/packages.sh
source "$REPO/scripts/packages.sh"

ensure_packages "${BUILD_PACKAGES[@]}"
configure_build "$REPO/build"
# Everything that gets installed: the program, vantorctl, the virtual
# controller on a pseudo-terminal, the manual pages and the changelog. So the
# README's examples, `cmake --install build` and `cpack` work from this build.
cmake --build "$REPO/build" --target vantor_installable

# First start without a board: choose the built-in virtual controller, so the
# remote's keys work at once. A board on USB (ttyUSB, ttyACM), on Bluetooth
# (rfcomm) or named in VANTOR_IR_PORTS leaves the choice to the user, as does
# an existing preferences file.
pref_dir="${XDG_CONFIG_HOME:-$HOME/.config}/Tessaro Utilities/VantorController IR"
pref_file="$pref_dir/VantorController IR.Pref"
if [ ! -e "$pref_file" ] && [ -z "${VANTOR_IR_PORTS:-}" ] &&
    ! compgen -G '/dev/ttyUSB*' >/dev/null && ! compgen -G '/dev/ttyACM*' >/dev/null &&
    ! compgen -G '/dev/rfcomm*' >/dev/null; then
    mkdir -p "$pref_dir"
    printf '%s\n' SerialPort "Virtual QMC-4410" virtual virtual ConnectType 0 \
        NotAutoDisconnect False WirelessWriteSize 1 RBTReqests -1 >"$pref_file"
    echo "No controller attached: the remote drives the built-in virtual controller" \
        "(Port > ポート設定... chooses another port)."
fi

exec "$REPO/build/src/vantor-ir" "$@"
