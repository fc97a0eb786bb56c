#!/usr/bin/env bash
# Times Kehrlund against GNU find on generated folder trees and records the results.
#
#   bench/run.sh [--quick | --full] [--runs N] [--no-strace] [--ext4-image] [PROGRAM]
#
# --quick (the default) uses trees of 10,000 and 200,000 entries, --full adds 1,000,000.
# --ext4-image puts the trees on a fresh ext4 file system (with journal) in an image file that is
# loop-mounted for the run (needs root).
# PROGRAM is the kehrlund binary to time; without it the script builds one (Release) in
# build-bench/ at the top of the repository. Trees and scratch files go to bench/work/ (or to
# $KEHRLUND_BENCH_WORK); the report goes to bench/results/ and to standard output.
set -euo pipefail

bench=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$bench/.." && pwd)
work=${KEHRLUND_BENCH_WORK:-$bench/work}
seed=${KEHRLUND_BENCH_SEED:-1}

mode=quick
runs=
use_strace=1
use_image=0
program=
while [ $# -gt 0 ]; do
    case $1 in
    --quick) mode=quick ;;
    --full) mode=full ;;
    --runs) runs=$2; shift ;;
    --no-strace) use_strace=0 ;;
    --ext4-image) use_image=1 ;;
    -h | --help) sed -n '2,11p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "run.sh: unknown option $1" >&2; exit 2 ;;
    *) program=$1 ;;
    esac
    shift
done

sizes=(10000 200000)
[ "$mode" = full ] && sizes+=(1000000)

runs_for() { # timed runs per command: fewer on the bigger trees
    if [ -n "$runs" ]; then echo "$runs"; return; fi
    case $1 in 10000) echo 10 ;; 200000) echo 5 ;; *) echo 3 ;; esac
}

for tool in hyperfine faketime python3 find cp; do
    command -v "$tool" >/dev/null || { echo "run.sh: $tool is missing" >&2; exit 1; }
done
[ -x /usr/bin/time ] || { echo "run.sh: /usr/bin/time is missing (Debian package time)" >&2; exit 1; }
if [ "$use_strace" = 1 ] && ! command -v strace >/dev/null; then
    echo "run.sh: strace is missing; system calls are not counted" >&2
    use_strace=0
fi

# Every command runs in the same, fixed locale; the time zone is the machine's own.
export LC_ALL=C.UTF-8
unset TZ

if [ -z "$program" ]; then
    build=$repo/build-bench
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=Release -DKEHRLUND_TESTS=OFF >/dev/null
    cmake --build "$build" -j2 --target kehrlund >/dev/null
    program=$build/kehrlund
fi
program=$(realpath "$program")
[ -x "$program" ] || { echo "run.sh: $program is not an executable" >&2; exit 1; }
build_type=unknown
if [ -f "$(dirname "$program")/CMakeCache.txt" ]; then
    build_type=$(sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$(dirname "$program")/CMakeCache.txt")
fi

mkdir -p "$work"
work=$(realpath "$work")
raw=$work/raw # the measurements the report is made from; kept after the run
rm -rf "$raw"
mkdir -p "$raw" "$bench/results"
filesystem_note=
if [ "$use_image" = 1 ]; then
    [ "$(id -u)" -eq 0 ] || { echo "run.sh: --ext4-image needs root" >&2; exit 1; }
    image=$work/ext4.img
    mount_point=$work/mnt
    mkdir -p "$mount_point"
    rm -f "$image"
    truncate -s 16G "$image"
    mkfs.ext4 -q -F -N 3000000 -E lazy_itable_init=0,lazy_journal_init=0 "$image"
    mount -o loop "$image" "$mount_point"
    trap 'umount "$mount_point" && rm -f "$image"' EXIT
    filesystem_note=" (a fresh ext4 image, $(du -h --apparent-size "$image" | cut -f1), loop-mounted on $(findmnt -no SOURCE -T "$(dirname "$image")"))"
    work=$mount_point
fi
tree=$work/tree
wd=$work/wd
mkdir -p "$wd"
# find goes by the path relative to $work, so that a hidden folder above the tree (a "/." in
# $work) cannot make it skip everything.
find_patterns="-type f \\( -iname '*.log' -o -iname '*.tmp' \\) ! -newerct '30 days ago'"
find_scan="cd '$work' && find tree -name '.*' -prune -o $find_patterns -print > '$work/find-list.txt'"
# -delete turns on -depth, under which -prune does nothing: hidden entries are left out by path.
find_clean="cd '$work' && faketime -f +40d find tree -path '*/.*' -o $find_patterns -print -delete > '$work/find-list.txt'"
prog_scan="cd '$wd' && '$program' < /dev/null > /dev/null 2> '$work/console.txt'"
prog_clean="cd '$wd' && faketime -f +40d '$program' < /dev/null > /dev/null 2> '$work/console.txt'"
fresh_tree() { # $1: entry count
    echo "rm -rf '$tree' '$wd/log_kehrlund.txt' && cp -a '$work/pristine-$1' '$tree' && sync -f '$work'"
}

{
    echo "date: $(date '+%Y-%m-%d %H:%M %Z')"
    echo "host: $(hostname)"
    echo "cpu: $(lscpu 2>/dev/null | sed -n 's/^Model name: *//p' | head -1)"
    echo "cores: $(nproc)"
    echo "memory: $(free -m | awk '/^Mem:/ {print $2 " MiB"}')"
    echo "kernel: $(uname -sr)"
    echo "filesystem: $(findmnt -no FSTYPE,SOURCE,OPTIONS -T "$work" 2>/dev/null || df -T "$work" | tail -1)$filesystem_note"
    # shellcheck disable=SC2185 # GNU find, asked for its version
    echo "find: $(find --version | head -1)"
    echo "hyperfine: $(hyperfine --version)"
    echo "program: $program"
    echo "build type: $build_type"
    echo "commit: $(git -C "$repo" describe --always --dirty 2>/dev/null || echo unknown)"
    echo "mode: $mode"
    echo "seed: $seed"
    echo "load before: $(uptime)"
} > "$raw/machine.txt"

printf '%s\t%s\t%s\n' "$tree" '*.log;*.tmp' 30 > "$wd/eingabe_kehrlund.txt"

for n in "${sizes[@]}"; do
    pristine=$work/pristine-$n
    stamp="$(sha256sum "$bench/gentree.py" | cut -c1-16) seed $seed"
    if [ ! -d "$pristine" ] || [ "$(cat "$pristine.stamp" 2>/dev/null)" != "$stamp" ]; then
        echo "== generating the $n-entry tree" >&2
        rm -rf "$pristine" "$pristine.stamp"
        python3 "$bench/gentree.py" --entries "$n" --seed "$seed" --summary "$pristine.json" \
            "$pristine"
        echo "$stamp" > "$pristine.stamp"
    fi
    cp "$pristine.json" "$raw/tree-$n.json"
    prepare=$(fresh_tree "$n")

    echo "== $n entries: checking that both do the same work, peak memory" >&2
    bash -c "$prepare"
    (cd "$wd" && /usr/bin/time -v -o "$raw/mem-scan-kehrlund-$n.txt" "$program" \
        < /dev/null > /dev/null 2> "$work/console.txt")
    tail -n 1 "$wd/log_kehrlund.txt" > "$raw/verify-scan-kehrlund-$n.txt"
    (cd "$work" && /usr/bin/time -v -o "$raw/mem-scan-find-$n.txt" bash -c "$find_scan")
    grep -c '' "$work/find-list.txt" > "$raw/verify-scan-find-$n.txt" || true

    bash -c "$prepare"
    (cd "$wd" && faketime -f +40d /usr/bin/time -v -o "$raw/mem-clean-kehrlund-$n.txt" \
        "$program" < /dev/null > /dev/null 2> "$work/console.txt")
    tail -n 1 "$wd/log_kehrlund.txt" > "$raw/verify-clean-kehrlund-$n.txt"
    grep -c '^"Fehler' "$work/console.txt" > "$raw/verify-clean-errors-$n.txt" || true
    # The removed paths from the log (lines after the header that are not "N Tage"), relative.
    sed -n '4,$p' "$wd/log_kehrlund.txt" | grep -v -E '^(-?[0-9]+ Tage|Treffer gesamt: [0-9]+)$' |
        sed "s|^$work/||" | sort > "$work/removed-kehrlund.txt"
    bash -c "$prepare"
    (cd "$work" && /usr/bin/time -v -o "$raw/mem-clean-find-$n.txt" bash -c "$find_clean")
    sort "$work/find-list.txt" > "$work/removed-find.txt"
    if cmp -s "$work/removed-kehrlund.txt" "$work/removed-find.txt"; then
        echo "same $(grep -c '' "$work/removed-find.txt")" > "$raw/verify-clean-same-$n.txt"
    else
        echo "different: $(diff "$work/removed-kehrlund.txt" "$work/removed-find.txt" | grep -c '^[<>]') lines" \
            > "$raw/verify-clean-same-$n.txt"
    fi

    r=$(runs_for "$n")
    for job in scan clean; do
        if [ "$job" = scan ]; then p=$prog_scan f=$find_scan; else p=$prog_clean f=$find_clean; fi
        echo "== $n entries: $job, $r runs each" >&2
        hyperfine --style basic --runs "$r" --prepare "$prepare" \
            --export-json "$raw/$job-$n.json" -n kehrlund "$p" -n find "$f" >&2
    done

    if [ "$use_strace" = 1 ] && [ "$n" = 200000 ]; then
        echo "== $n entries: counting system calls" >&2
        bash -c "$prepare"
        (cd "$wd" && strace -c -f -o "$raw/strace-scan-kehrlund-$n.txt" "$program" \
            < /dev/null > /dev/null 2> "$work/console.txt")
        (cd "$work" && strace -c -f -o "$raw/strace-scan-find-$n.txt" bash -c "$find_scan")
        bash -c "$prepare"
        (cd "$wd" && strace -c -f -o "$raw/strace-clean-kehrlund-$n.txt" faketime -f +40d \
            "$program" < /dev/null > /dev/null 2> "$work/console.txt")
        bash -c "$prepare"
        (cd "$work" && strace -c -f -o "$raw/strace-clean-find-$n.txt" bash -c "$find_clean")
    fi
done
rm -rf "$tree"

# The fixed cost of a run: no job at all, against one job on an empty folder (which adds the
# snapshot of the files that running programs hold open, taken once per run).
echo "== fixed cost of a run" >&2
mkdir -p "$work/wd-none" "$work/wd-empty" "$work/empty"
: > "$work/wd-none/eingabe_kehrlund.txt"
printf '%s\t%s\t%s\n' "$work/empty" '*.log;*.tmp' 30 > "$work/wd-empty/eingabe_kehrlund.txt"
compgen -G '/proc/[0-9]*' | wc -l > "$raw/processes.txt"
hyperfine --style basic --runs 30 --warmup 3 \
    --prepare "rm -f '$work/wd-none/log_kehrlund.txt' '$work/wd-empty/log_kehrlund.txt'" \
    --export-json "$raw/fixed.json" \
    -n "no job" "cd '$work/wd-none' && '$program' < /dev/null > /dev/null 2>&1" \
    -n "one job, empty folder" "cd '$work/wd-empty' && '$program' < /dev/null > /dev/null 2>&1" \
    -n "find, empty folder" "find '$work/empty' -name '.*' -prune -o $find_patterns -print > /dev/null" >&2

echo "load after: $(uptime)" >> "$raw/machine.txt"
result=$bench/results/$(date +%Y-%m-%d-%H%M)-$(hostname -s).md
python3 "$bench/report.py" "$raw" "${sizes[@]}" > "$result"
cat "$result"
echo "(written to ${result#"$repo"/})" >&2
