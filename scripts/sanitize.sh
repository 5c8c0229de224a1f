#!/usr/bin/env bash
# Builds the program and its unit tests with AddressSanitizer and
# UndefinedBehaviorSanitizer in build-sanitize/ and runs the unit tests there.
# The end-to-end tests on a virtual X display and the benchmarks are left to
# scripts/test.sh: they measure speed or drive the whole desktop, which the
# sanitizers slow down without finding more.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/packages.sh
source "$REPO/scripts/packages.sh"
ensure_packages "${BUILD_PACKAGES[@]}" "${TEST_PACKAGES[@]}"

BUILD="$REPO/build-sanitize"
cmake -S "$REPO" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DVANTOR_SANITIZE=ON
# Only what the unit tests need.
ninja -C "$BUILD" $(ninja -C "$BUILD" -t targets all | sed -n 's/^\(tst_[A-Za-z0-9_]*\): phony$/\1/p') \
    qmc-emulator
export ASAN_OPTIONS=detect_leaks=0:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir "$BUILD" --output-on-failure \
    -E '_xcb$|^tst_MenuBarWidth$|^e2e|remote_clicks|^bench'
