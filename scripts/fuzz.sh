#!/usr/bin/env bash
# Builds the libFuzzer targets with clang in build-fuzz/ and runs each for a
# bounded number of inputs: the preferences reader over tests/fuzz/corpus, the
# controller link's reply handling over tests/fuzz/corpus-link, the sequence
# file reader over tests/fuzz/corpus-sequence. A crash,
# undefined behaviour or a broken rule fails the run and leaves the input that
# caused it in build-fuzz/.
set -euo pipefail
export DEBIAN_FRONTEND=noninteractive

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
# shellcheck source=scripts/packages.sh
source "$REPO/scripts/packages.sh"
ensure_packages "${BUILD_PACKAGES[@]}" clang
RUNS="${1:-20000}"

BUILD="$REPO/build-fuzz"
cmake -S "$REPO" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DCMAKE_CXX_COMPILER=clang++ -DVANTOR_SANITIZE=ON -DVANTOR_FUZZ=ON
ninja -C "$BUILD" fuzz_preferences fuzz_link_replies fuzz_sequence_file
# The corpus folders are copied: new inputs the fuzzer keeps stay in build-fuzz/.
rm -rf "$BUILD/corpus" "$BUILD/corpus-link" "$BUILD/corpus-sequence"
cp -r "$REPO/tests/fuzz/corpus" "$BUILD/corpus"
cp -r "$REPO/tests/fuzz/corpus-link" "$BUILD/corpus-link"
cp -r "$REPO/tests/fuzz/corpus-sequence" "$BUILD/corpus-sequence"
cd "$BUILD"
export ASAN_OPTIONS=detect_leaks=0
./tests/fuzz/fuzz_preferences -runs="$RUNS" -max_len=4096 -timeout=10 \
    -dict="$REPO/tests/fuzz/preferences.dict" corpus
./tests/fuzz/fuzz_link_replies -runs="$RUNS" -max_len=512 -timeout=10 corpus-link
./tests/fuzz/fuzz_sequence_file -runs="$RUNS" -max_len=4096 -timeout=10 \
    -dict="$REPO/tests/fuzz/sequence.dict" corpus-sequence
