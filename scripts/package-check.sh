#!/usr/bin/env bash
# Checks the installable program: validates the launcher and the AppStream
# metadata, builds the Debian package from the existing build/ folder,
# installs it with apt-get, starts the installed programs from PATH and runs
# lintian over the package. Run after scripts/test.sh (it reuses build/).
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/packages.sh
source "$REPO/scripts/packages.sh"

PACKAGE_CHECK_PACKAGES=(desktop-file-utils appstream lintian dpkg-dev file)
ensure_packages "${BUILD_PACKAGES[@]}" "${PACKAGE_CHECK_PACKAGES[@]}"

SUDO=()
if [ "$(id -u)" -ne 0 ]; then
    SUDO=(sudo)
fi

echo "== launcher and metadata"
desktop-file-validate "$REPO/data/org.example.VantorIR.desktop"
appstreamcli validate --no-net "$REPO/data/org.example.VantorIR.metainfo.xml"

echo "== package"
BUILD="$REPO/build"
if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    configure_build "$BUILD"
fi
cmake --build "$BUILD" --target vantor_installable
OUT="$(mktemp -d)"
trap 'rm -rf "$OUT"' EXIT
(cd "$BUILD" && cpack -G DEB -B "$OUT" >/dev/null)
DEB="$(ls "$OUT"/vantor-ir_*.deb)"
dpkg-deb --info "$DEB" | sed -n '/Package:/,$p'
dpkg-deb --contents "$DEB" | awk '{print $6}'

echo "== install"
"${SUDO[@]}" apt-get install -y --no-install-recommends "$DEB" >/dev/null
hash -r
test "$(command -v vantor-ir)" = /usr/bin/vantor-ir
qmc-emulator --help >/dev/null
echo "qmc-emulator --help: ok"
vantorctl --port virtual info >/dev/null
echo "vantorctl --port virtual info: ok"

# The installed program starts on the offscreen display with a fresh
# preferences folder. It runs until stopped: alive after 8 s, with its
# preferences file written by the start-up, counts as started.
HOME_DIR="$OUT/home"
mkdir -p "$HOME_DIR"
rc=0
HOME="$HOME_DIR" XDG_CONFIG_HOME="$HOME_DIR/config" QT_QPA_PLATFORM=offscreen \
    timeout 8 vantor-ir >"$OUT/vantor-ir.log" 2>&1 || rc=$?
if [ "$rc" -ne 124 ]; then
    echo "vantor-ir ended early with status $rc:" >&2
    cat "$OUT/vantor-ir.log" >&2
    exit 1
fi
PREF="$HOME_DIR/config/Tessaro Utilities/VantorController IR/VantorController IR.Pref"
test -s "$PREF"
echo "vantor-ir started (offscreen) and wrote its preferences"

echo "== lintian"
# Errors fail the check; warnings and notes are listed.
lintian --tag-display-limit 0 "$DEB" | tee "$OUT/lintian.txt" || true
if grep -q '^E:' "$OUT/lintian.txt"; then
    echo "lintian reports errors" >&2
    exit 1
fi

"${SUDO[@]}" apt-get remove -y vantor-ir >/dev/null
echo "package check passed"
