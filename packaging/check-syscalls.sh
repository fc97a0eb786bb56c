#!/usr/bin/env bash
# Checks that a systemd unit's SystemCallFilter= lets the program run: runs the program once
# under strace in a working folder and fails if it made a system call that the unit's filter
# would refuse (allowed: the groups and calls of the SystemCallFilter= lines without "~";
# refused: those of the lines with "~").
#
#   bash packaging/check-syscalls.sh UNIT WORKING-FOLDER [COMMAND...]
#
# COMMAND defaults to /usr/bin/kehrlund; a wrapper such as "faketime -f +40d" may stand before
# it. Standard input is /dev/null, as in the unit. Needs strace and systemd-analyze.
set -euo pipefail
[ $# -ge 2 ] || { echo "usage: $0 UNIT WORKING-FOLDER [COMMAND...]" >&2; exit 2; }
unit=$1
folder=$2
shift 2
[ $# -gt 0 ] || set -- /usr/bin/kehrlund

# The calls of one filter group, nested groups expanded.
expand() {
    local entry
    for entry in "$@"; do
        if [[ $entry == @* ]]; then
            # systemd-analyze prints the group name, a comment, then one member per line.
            # shellcheck disable=SC2046
            expand $(systemd-analyze syscall-filter --no-pager "$entry" |
                     sed -e '1d' -e '/^[[:space:]]*#/d' -e 's/^[[:space:]]*//' -e '/^$/d')
        else
            echo "$entry"
        fi
    done
}

allowed=()
refused=()
while IFS= read -r value; do
    if [[ $value == ~* ]]; then
        read -r -a words <<<"${value#\~}"
        refused+=("${words[@]}")
    else
        read -r -a words <<<"$value"
        allowed+=("${words[@]}")
    fi
done < <(sed -n 's/^SystemCallFilter=//p' "$unit")
[ ${#allowed[@]} -gt 0 ] || { echo "$unit: no SystemCallFilter= allow list" >&2; exit 1; }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
expand "${allowed[@]}" | sort -u >"$scratch/allowed"
if [ ${#refused[@]} -gt 0 ]; then
    expand "${refused[@]}" | sort -u >"$scratch/refused"
else
    : >"$scratch/refused"
fi

if ! (cd "$folder" && strace -f -qq -o "$scratch/trace" "$@" </dev/null >"$scratch/output" 2>&1); then
    cat "$scratch/output" >&2
    echo "the run under strace failed" >&2
    exit 1
fi
sed -n -E 's/^[0-9]+ +([a-z0-9_]+)\(.*/\1/p' "$scratch/trace" | sort -u >"$scratch/used"
[ -s "$scratch/used" ] || { echo "strace recorded no system calls" >&2; exit 1; }

bad=$( (comm -23 "$scratch/used" "$scratch/allowed"; comm -12 "$scratch/used" "$scratch/refused") |
       sort -u)
if [ -n "$bad" ]; then
    echo "$unit: the program makes system calls that SystemCallFilter= refuses: ${bad//$'\n'/ }" >&2
    exit 1
fi
echo "$unit: all $(wc -l <"$scratch/used") system calls of the run pass SystemCallFilter="
