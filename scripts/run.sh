#!/usr/bin/env bash
# Installs what is missing, builds the program in build/ and starts it.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/packages.sh
source "$REPO/scripts/packages.sh"

ensure_packages "${BUILD_PACKAGES[@]}"
configure_build "$REPO/build"
# The program, and the virtual controller on a pseudo-terminal beside it.
cmake --build "$REPO/build" --target vantor-ir qmc-emulator
exec "$REPO/build/src/vantor-ir" "$@"
