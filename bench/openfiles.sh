#!/usr/bin/env bash
# Cost of the snapshot of files held open by running processes.
#
# The program takes the snapshot once per run, before the first job, and only when there are
# jobs: one pass over /proc/<pid>/fd. This script starts helper processes that hold a few
# thousand files open, then times the program in three working folders:
#   none   no job file (no job, so no snapshot)
#   small  one valid job over a small tree (snapshot taken)
#   large  the same job over a tree ten times as large (snapshot taken)
# first with the helpers running, then again after they are gone. Nothing is deleted: every file
# in the trees is young.
#
# Usage: KEHRLUND=build/kehrlund bash bench/openfiles.sh
# Settings (environment): KEHRLUND (program), RUNS (runs per case, 300), HOLDERS (helper
# processes, 5), FILES_PER_HOLDER (1000), SMALL_FOLDERS (5; ten files each, the large tree has
# ten times as many folders), OUT (report, bench/openfiles.md).
# Needs hyperfine (Debian package hyperfine) and GNU coreutils.
set -euo pipefail

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(dirname "$here")
bin=$(realpath "${KEHRLUND:-$repo/build/kehrlund}")
runs=${RUNS:-300}
holders=${HOLDERS:-5}
perHolder=${FILES_PER_HOLDER:-1000}
smallFolders=${SMALL_FOLDERS:-5}
out=${OUT:-$here/openfiles.md}

command -v hyperfine >/dev/null || {
    echo "hyperfine is missing (apt-get install hyperfine)" >&2
    exit 1
}
[ -x "$bin" ] || {
    echo "no program at $bin (set KEHRLUND)" >&2
    exit 1
}

work=$(mktemp -d)
helperPids=()
stopHelpers() {
    local pid
    for pid in "${helperPids[@]}"; do
        kill "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    helperPids=()
}
cleanup() {
    stopHelpers
    rm -rf "$work"
}
trap cleanup EXIT

# A tree of young files that match the job's pattern: folders x 10 files.
makeTree() {
    local root=$1 folders=$2 f i
    for ((f = 0; f < folders; ++f)); do
        mkdir -p "$root/ordner$f"
        for ((i = 0; i < 10; ++i)); do
            : >"$root/ordner$f/datei$i.log"
        done
    done
}

makeWorkingFolder() {
    local name=$1 folders=$2
    mkdir -p "$work/$name"
    if [ "$folders" -gt 0 ]; then
        makeTree "$work/$name/baum" "$folders"
        printf '%s\t*.log\t30\n' "$work/$name/baum" >"$work/$name/eingabe_kehrlund.txt"
    fi
}

makeWorkingFolder none 0
makeWorkingFolder small "$smallFolders"
makeWorkingFolder large $((smallFolders * 10))

startHelpers() {
    local h dir
    for ((h = 0; h < holders; ++h)); do
        dir="$work/held/$h"
        mkdir -p "$dir"
        # Each helper opens its files for appending, says so, and sleeps holding them.
        bash -c 'ulimit -Sn "$(ulimit -Hn)"
                 for ((i = 0; i < $2; ++i)); do exec {fd}>>"$1/f$i"; done
                 : >"$1/ready"
                 exec sleep 3600' helper "$dir" "$perHolder" &
        helperPids+=($!)
    done
    for ((h = 0; h < holders; ++h)); do
        for ((i = 0; i < 600; ++i)); do
            [ -e "$work/held/$h/ready" ] && break
            sleep 0.1
        done
        [ -e "$work/held/$h/ready" ] || {
            echo "helper $h did not open its files" >&2
            exit 1
        }
    done
}

# Processes come and go while find reads /proc, so its complaints are ignored.
processCount() { { find /proc -mindepth 1 -maxdepth 1 -name '[0-9]*' 2>/dev/null || true; } | wc -l; }
# Handles visible to this user, and those among them that are regular files.
handleCount() { { find /proc/[0-9]*/fd -mindepth 1 -maxdepth 1 2>/dev/null || true; } | wc -l; }
fileHandleCount() {
    { find -L /proc/[0-9]*/fd -mindepth 1 -maxdepth 1 -type f 2>/dev/null || true; } | wc -l
}

# Runs the three cases; writes "name,mean,stddev,median,..." (seconds) to $1.
measure() {
    hyperfine -N --style basic --warmup 20 --runs "$runs" --export-csv "$1" \
        --command-name none "env -C $work/none $bin" \
        --command-name small "env -C $work/small $bin" \
        --command-name large "env -C $work/large $bin" >&2
}

# One figure of one case in milliseconds: "wall" is the median elapsed time, "cpu" the mean
# user plus system time (less disturbed by other load on the machine).
value() {
    awk -F, -v name="$2" -v metric="$3" '$1 == name {
        printf "%.2f", (metric == "wall" ? $4 : $5 + $6) * 1000 }' "$1"
}
minus() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", a - b }'; }
# Difference between two cases of one phase.
d() { minus "$(value "$1" "$2" "$4")" "$(value "$1" "$3" "$4")"; }

loadBefore=$(cut -d' ' -f1-3 /proc/loadavg)
startHelpers
heldProcesses=$(processCount)
heldHandles=$(handleCount)
heldFileHandles=$(fileHandleCount)
measure "$work/held.csv"
stopHelpers
freeProcesses=$(processCount)
freeHandles=$(handleCount)
freeFileHandles=$(fileHandleCount)
measure "$work/free.csv"

row() {
    local csv=$1 label=$2 metric=$3
    printf '| %s | %s | %s | %s | %s | %s |\n' "$label" \
        "$(value "$csv" none "$metric")" "$(value "$csv" small "$metric")" \
        "$(value "$csv" large "$metric")" "$(d "$csv" small none "$metric")" \
        "$(d "$csv" large none "$metric")"
}

held=$work/held.csv
free=$work/free.csv
heldCount=$((holders * perHolder))
# The snapshot with the job file and the sweep: a case with a job less the case without.
snapshotSmallCpu=$(d "$held" small none cpu)
snapshotSmallWall=$(d "$held" small none wall)
snapshotLargeCpu=$(d "$held" large none cpu)
snapshotLargeWall=$(d "$held" large none wall)
# The share of the held files: the same difference with the helpers less without them.
heldSmallCpu=$(minus "$snapshotSmallCpu" "$(d "$free" small none cpu)")
heldSmallWall=$(minus "$snapshotSmallWall" "$(d "$free" small none wall)")
heldLargeCpu=$(minus "$snapshotLargeCpu" "$(d "$free" large none cpu)")
heldLargeWall=$(minus "$snapshotLargeWall" "$(d "$free" large none wall)")
# What the larger tree adds.
sweepHeldCpu=$(d "$held" large small cpu)
sweepFreeCpu=$(d "$free" large small cpu)
perHandle=$(awk -v ms="$heldSmallCpu" -v n="$heldCount" 'BEGIN { printf "%.1f", ms * 1000 / n }')
smallFiles=$((smallFolders * 10))
largeFiles=$((smallFolders * 100))

cpu=$(lscpu 2>/dev/null | sed -n 's/^Model name: *//p' | head -n 1)
{
    cat <<EOF
# Cost of the open-files snapshot

Before the first job of a run the program reads /proc/<pid>/fd of every process it may inspect,
once, and leaves alone every old file that another process holds open. \`bench/openfiles.sh\`
times the program in three working folders: *none* has no job file (no job, so no snapshot),
*small* has one job over $smallFiles young files in $smallFolders folders, *large* the same job over
a tree ten times as large ($largeFiles files). Nothing is deleted. It runs first while $holders helper
processes hold $((holders * perHolder)) files open, then again after they are gone.

Run: \`KEHRLUND=build/kehrlund bash bench/openfiles.sh\` (hyperfine, $runs runs per case after
20 warm-up runs; whole program runs, in milliseconds).

Machine: ${cpu:-unknown CPU}, $(nproc) cores, Linux $(uname -r), run as $(id -un), load average
$loadBefore before and $(cut -d' ' -f1-3 /proc/loadavg) after.

| On the machine | processes in /proc | open handles | of them regular files |
|---|---|---|---|
| with the helpers | $heldProcesses | $heldHandles | $heldFileHandles |
| without them | $freeProcesses | $freeHandles | $freeFileHandles |

| ms per run | none | small | large | small − none | large − none |
|---|---|---|---|---|---|
$(row "$held" "CPU (user + system), $heldCount files held" cpu)
$(row "$free" "CPU (user + system), helpers gone" cpu)
$(row "$held" "elapsed (median), $heldCount files held" wall)
$(row "$free" "elapsed (median), helpers gone" wall)

**Result.** With $heldCount files held open, a run with one job over the small tree costs
**$snapshotSmallCpu ms** more CPU time than a run without a job ($snapshotSmallWall ms elapsed): the
snapshot, the job file and the small sweep. Over the tree ten times as large: $snapshotLargeCpu ms CPU
($snapshotLargeWall ms elapsed). The held files alone (the difference between the rows with and
without the helpers) account for **$heldSmallCpu ms** CPU with the small tree and $heldLargeCpu ms
with the large one (elapsed: $heldSmallWall and $heldLargeWall ms), about $perHandle µs of CPU per held
file. The snapshot is one pass over /proc, so each pair should agree within the noise whatever
the tree's size; what the larger tree adds is the sweep: $sweepHeldCpu ms CPU with the helpers,
$sweepFreeCpu ms without them. Elapsed times suffer from whatever else the machine runs (see the
load average); the CPU times are the steadier figure.
EOF
} >"$out"

cat "$out"
