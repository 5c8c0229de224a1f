#!/bin/bash
# vantorctl's bash completion as bash runs it at a prompt: the file is sourced
# beside bash-completion's helpers, the words of a command line are set up
# the way readline sets them, and _vantorctl must leave exactly the expected
# words in COMPREPLY.
#
# Usage: completion.sh <vantorctl.bash-completion>
set -u

COMPLETION=$1
HELPERS=/usr/share/bash-completion/bash_completion
if [ ! -r "$HELPERS" ]; then
    echo "FAIL: $HELPERS is missing (Debian package bash-completion)" >&2
    exit 1
fi

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

# Completing must never run vantorctl (listing ports that way opens each
# one): a vantorctl first on PATH leaves a mark if anything starts it.
mkdir "$WORK/bin"
printf '#!/bin/sh\ntouch "%s/ran"\n' "$WORK" >"$WORK/bin/vantorctl"
chmod +x "$WORK/bin/vantorctl"
PATH="$WORK/bin:$PATH"

mkdir "$WORK/files"
touch "$WORK/files/robot.bin" "$WORK/files/robot2.bin" "$WORK/files/notes.txt"
touch "$WORK/pty-present"

# shellcheck source=/dev/null
source "$HELPERS"
# shellcheck source=tools/vantorctl/vantorctl.bash-completion
source "$COMPLETION"

failures=0

# check NAME EXPECTED WORD...
#   NAME      the row, as reported
#   EXPECTED  the completions, blank-separated in any order ("" for none)
#   WORD...   the command line; the last word is the one being completed
check() {
    local name=$1 expected=$2
    shift 2
    COMP_WORDS=("$@")
    COMP_CWORD=$(($# - 1))
    COMP_LINE="$*"
    COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _vantorctl vantorctl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
    local got want
    got=$(printf '%s\n' "${COMPREPLY[@]}" | sed '/^$/d' | sort | tr '\n' ' ')
    want=$(printf '%s\n' $expected | sed '/^$/d' | sort | tr '\n' ' ')
    if [ "$got" != "$want" ]; then
        echo "FAIL $name: '$*' completes to [$got], expected [$want]" >&2
        failures=$((failures + 1))
    else
        echo "ok   $name"
    fi
}

ALL_COMMANDS="ports info read write program servo speed speed-v ptp moving run stop break
    reset key send play pose help"

# The command word, with or without global options before it.
check "every command" "$ALL_COMMANDS" vantorctl ""
check "commands starting with p" "ports program ptp play pose" vantorctl p
check "after --port and its value" "servo send speed speed-v stop" vantorctl --port virtual s
check "help names a command" "speed speed-v" vantorctl help sp

# Sub-commands, and nothing once one is given.
check "program" "size save load verify" vantorctl program ""
check "servo" "get group set on off watch" vantorctl servo ""
check "program load's own option" "--verify --version" vantorctl program load robot.bin --ver
check "nothing after servo get" "" vantorctl servo get ""

# Memories for read and write only.
check "read memories" "sram introm extrom" vantorctl read ""
check "read memory given" "" vantorctl read sram ""

# Files where a file is named.
check "read -o" "$WORK/files/robot.bin $WORK/files/robot2.bin" \
    vantorctl read sram 0 10 -o "$WORK/files/rob"
check "program save" "$WORK/files/robot.bin $WORK/files/robot2.bin" \
    vantorctl program save "$WORK/files/rob"

# Options: the global ones, plus only those of the command.
check "global options" "--port" vantorctl --p
check "read's own option" "--output" vantorctl read sram 0 1 --ou
check "no write option for read" "" vantorctl read --veri
check "remote IDs" "1 2 3 4" vantorctl key 5 --id ""

# play takes a file and its own options.
check "play's FILE" "$WORK/files/robot.bin $WORK/files/robot2.bin" \
    vantorctl play "$WORK/files/rob"
check "nothing after play's FILE" "" vantorctl play robot.bin ""
check "play's options after its FILE" "--loop" vantorctl --port virtual play x.json --lo
check "no value offered for --from" "" vantorctl play x.json --from ""

# --port: the virtual controller, and only the VANTOR_IR_PORTS paths that
# exist (blanks around an entry are not part of it).
export VANTOR_IR_PORTS="$WORK/pty-present: $WORK/pty-missing :$WORK/bin/nothing"
check "virtual" "virtual" vantorctl --port v
check "existing paths only" "$WORK/pty-present" vantorctl --port "$WORK/pty"
unset VANTOR_IR_PORTS
check "no VANTOR_IR_PORTS" "" vantorctl --port "$WORK/"

if [ -e "$WORK/ran" ]; then
    echo "FAIL: completing ran vantorctl" >&2
    failures=$((failures + 1))
fi
if [ "$failures" -ne 0 ]; then
    echo "$failures completion check(s) failed" >&2
    exit 1
fi
echo "all completion checks passed"
