#!/usr/bin/env bash
# Runs the vantorctl examples of README.md against qmc-emulator and checks
# that each prints what the README shows.
#
#   bash scripts/readme-examples.sh [BUILD_DIR]     # default: build/
#
# It builds nothing: BUILD_DIR must hold tools/vantorctl and
# tools/qmc-emulator. In the README's shell code blocks, every line
# "$ vantorctl ..." or "$ build/tools/vantorctl ..." is run with bash in a
# private folder (files the example writes land there; data/ is the repository's), and its standard
# output and standard error together must be exactly the lines that follow
# it, up to the next "$ " line or the end of the block (none: no output).
# The example must succeed, unless what follows it is an error message
# ("vantorctl: ..."), when it must fail. A line that starts the emulator
# ("$ build/tools/qmc-emulator ... &") starts the script's own emulator, with
# the same options, in place of the one from earlier examples; the link path
# the README gives it (/tmp/ttyQMC) is replaced by a private one everywhere.
# In the expected output "…" stands for any text on its line (a timestamp, a
# path that differs from run to run). The examples run with private
# configuration and data folders, so they leave the user's own alone.
set -uo pipefail

REPO="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD="$(cd "${1:-$REPO/build}" && pwd)" || exit 2
README="$REPO/README.md"
for program in vantorctl qmc-emulator; do
    if [ ! -x "$BUILD/tools/$program" ]; then
        echo "readme-examples: $BUILD/tools/$program is missing; build it first" >&2
        exit 2
    fi
done

WORK="$(mktemp -d)"
EMU_PID=
cleanup() {
    if [ -n "$EMU_PID" ]; then
        kill "$EMU_PID" 2>/dev/null
        wait "$EMU_PID" 2>/dev/null
    fi
    rm -rf "$WORK"
}
trap cleanup EXIT

LINK="$WORK/ttyQMC"
README_LINK=/tmp/ttyQMC
# Both spellings of the program run the one in BUILD_DIR.
mkdir "$WORK/bin" "$WORK/run"
ln -s "$BUILD/tools/vantorctl" "$WORK/bin/vantorctl"
ln -s "$BUILD" "$WORK/run/build"
# The example files the README plays, under the names it gives them.
ln -s "$REPO/data" "$WORK/run/data"

# start_emulator ARG...: a fresh emulator with the README's arguments, its
# link made private; waits for the link.
start_emulator() {
    if [ -n "$EMU_PID" ]; then
        kill "$EMU_PID" 2>/dev/null
        wait "$EMU_PID" 2>/dev/null
    fi
    local args=() a
    for a in "$@"; do
        args+=("${a//"$README_LINK"/$LINK}")
    done
    rm -f "$LINK"
    "$BUILD/tools/qmc-emulator" "${args[@]}" --exit-after-idle 600 >"$WORK/emulator.out" \
        2>"$WORK/emulator.err" &
    EMU_PID=$!
    local i
    for ((i = 0; i < 100; i++)); do
        [ -L "$LINK" ] && return 0
        sleep 0.1
    done
    echo "readme-examples: qmc-emulator did not start:" >&2
    cat "$WORK/emulator.err" >&2
    exit 1
}

failures=0
examples=0
command=
expected=()

# matches GOT WANT: whether GOT is WANT, each "…" in WANT standing for any
# text within a line.
matches() {
    local got=$1 want=$2
    [[ $want == *"…"* ]] || { [ "$got" = "$want" ]; return; }
    local IFS=$'\n' gl wl
    local -a got_lines want_lines
    mapfile -t got_lines <<<"$got"
    mapfile -t want_lines <<<"$want"
    [ "${#got_lines[@]}" -eq "${#want_lines[@]}" ] || return 1
    local i
    for ((i = 0; i < ${#want_lines[@]}; i++)); do
        wl=${want_lines[i]}
        gl=${got_lines[i]}
        # Every piece between the ellipses, in order; the first and the last
        # anchored at the ends of the line.
        local -a pieces=()
        local rest=$wl
        while [[ $rest == *"…"* ]]; do
            pieces+=("${rest%%"…"*}")
            rest=${rest#*"…"}
        done
        pieces+=("$rest")
        if [ "${#pieces[@]}" -eq 1 ]; then
            [ "$gl" = "$wl" ] || return 1
            continue
        fi
        [[ $gl == "${pieces[0]}"* ]] || return 1
        gl=${gl#"${pieces[0]}"}
        local last=$((${#pieces[@]} - 1)) j
        for ((j = 1; j < last; j++)); do
            [[ $gl == *"${pieces[j]}"* ]] || return 1
            gl=${gl#*"${pieces[j]}"}
        done
        [[ $gl == *"${pieces[last]}" ]] || return 1
    done
    return 0
}

# check_example: runs the pending example and compares.
check_example() {
    [ -n "$command" ] || return 0
    examples=$((examples + 1))
    [ -n "$EMU_PID" ] || start_emulator --link "$LINK"
    local run="${command//"$README_LINK"/$LINK}"
    local want="" line
    local should_fail=0
    for line in "${expected[@]}"; do
        want+="${line//"$README_LINK"/$LINK}"$'\n'
        [[ $line == vantorctl:* ]] && should_fail=1
    done
    want="${want%$'\n'}"
    local got status
    got="$(cd "$WORK/run" && PATH="$WORK/bin:$PATH" XDG_CONFIG_HOME="$WORK/config" \
        XDG_DATA_HOME="$WORK/data" timeout 60 bash -c "$run" 2>&1)"
    status=$?
    local problem=
    if ! matches "$got" "$want"; then
        problem="output differs"
    elif [ "$should_fail" -eq 1 ] && [ "$status" -eq 0 ]; then
        problem="succeeded where the README shows an error"
    elif [ "$should_fail" -eq 0 ] && [ "$status" -ne 0 ]; then
        problem="failed with status $status"
    fi
    if [ -n "$problem" ]; then
        failures=$((failures + 1))
        echo "FAIL: \$ $command" >&2
        echo "  $problem; the README shows:" >&2
        printf '    %s\n' "${expected[@]}" >&2
        echo "  it printed (status $status):" >&2
        [ -n "$got" ] && printf '%s\n' "$got" | sed 's/^/    /' >&2
    else
        echo "ok: \$ $command"
    fi
    command=
    expected=()
}

in_block=0
collecting=0
while IFS= read -r line || [ -n "$line" ]; do
    if [ "$in_block" -eq 0 ]; then
        [[ $line =~ ^\`\`\`(sh|bash|shell|console)[[:space:]]*$ ]] && in_block=1
        continue
    fi
    if [[ $line == '```'* ]]; then
        check_example
        in_block=0
        collecting=0
        continue
    fi
    if [[ $line == '$ '* ]]; then
        check_example
        collecting=0
        prompt_line="${line#'$ '}"
        if [[ $prompt_line =~ ^(build/tools/)?qmc-emulator([[:space:]]|$) ]]; then
            # The README's own emulator: the script's takes its place.
            read -r -a words <<<"${prompt_line%&*}"
            start_emulator "${words[@]:1}"
        elif [[ $prompt_line =~ ^(build/tools/)?vantorctl([[:space:]]|$) ]]; then
            command="$prompt_line"
            collecting=1
        fi
        continue
    fi
    [ "$collecting" -eq 1 ] && expected+=("$line")
done <"$README"
check_example

if [ "$examples" -eq 0 ]; then
    echo "readme-examples: no vantorctl example found in README.md" >&2
    exit 1
fi
if [ "$failures" -ne 0 ]; then
    echo "readme-examples: $failures of $examples examples differ from README.md" >&2
    exit 1
fi
echo "readme-examples: all $examples examples print what README.md shows"
