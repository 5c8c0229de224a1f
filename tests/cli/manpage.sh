#!/bin/bash
# Keeps vantorctl's manual page in step with the program: every command word
# 'vantorctl --help' lists has an entry under COMMANDS (and the page has no
# entry for a command the program lacks), and every code of the help's
# exit-code line has an entry under EXIT STATUS.
#
# Usage: manpage.sh <vantorctl> <vantorctl.1>
set -u

VANTORCTL=$1
PAGE=$2

help=$("$VANTORCTL" --help) || {
    echo "FAIL: vantorctl --help failed" >&2
    exit 1
}

# The first word of each line of the help's command list.
commands=$(printf '%s\n' "$help" | awk '
    /^Commands:/ { inside = 1; next }
    inside && /^$/ { exit }
    inside { print $1 }' | sort -u)
# The codes that start the parts of the exit-code line: "Exit codes: 0 done; 1 ...".
codes=$(printf '%s\n' "$help" | sed -n 's/^Exit codes: //p' | tr ';' '\n' |
    sed -n 's/^ *\([0-9][0-9]*\) .*/\1/p' | sort -u)

# The first word of each entry (the line after .TP or .TQ) in one section of
# the page, with roff's font macros, quotes and escapes taken off.
entries() {
    awk -v section="$1" '
        /^\.SH / { inside = ($2 == section); next }
        inside && /^\.T[PQ]/ { tag = 1; next }
        inside && tag {
            tag = 0
            line = $0
            sub(/^\.[A-Z]+ /, "", line)
            gsub(/\\f[BIRP]/, "", line)
            gsub(/\\-/, "-", line)
            gsub(/"/, "", line)
            split(line, word, /[ |]/)
            print word[1]
        }' "$PAGE" | sort -u
}

failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}

[ -n "$commands" ] || fail "no command list in vantorctl --help"
[ -n "$codes" ] || fail "no exit-code line in vantorctl --help"

documented=$(entries COMMANDS)
for c in $commands; do
    grep -qx -- "$c" <<<"$documented" || fail "command '$c' has no entry under COMMANDS"
done
for c in $documented; do
    grep -qx -- "$c" <<<"$commands" || fail "COMMANDS has an entry for '$c', which vantorctl lacks"
done
statuses=$(entries "EXIT")
for code in $codes; do
    grep -qx -- "$code" <<<"$statuses" || fail "exit code $code has no entry under EXIT STATUS"
done

if [ "$failures" -ne 0 ]; then
    exit 1
fi
echo "vantorctl(1) lists the $(wc -w <<<"$commands") commands and $(wc -w <<<"$codes") exit codes"
