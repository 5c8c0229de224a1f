#!/usr/bin/env bash
# Installs what is missing, builds everything in build/ and runs the whole
# test suite.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/packages.sh
source "$REPO/scripts/packages.sh"

ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"
configure_build "$REPO/build"
cmake --build "$REPO/build"
ctest --test-dir "$REPO/build" --output-on-failure
