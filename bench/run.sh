#!/usr/bin/env bash
# Times Kehrlund against GNU find and systemd-tmpfiles on generated folder trees and records the
# results; also against another build of Kehrlund (typically the one before a change), and two
# floors for the clean, from a list made beforehand: the floor (bench/floor.c: only the removals and
# one log write each) and the promise floor (bench/promisefloor.c: the seven system calls a removal
# that keeps the program's promises takes).
#
#   bench/run.sh [--quick | --full] [--sizes LIST] [--flat] [--fs LIST] [--runs N] [--no-cold]
#                [--no-strace] [--ext4-image] [--baseline PATH] [--no-daily | --only-daily]
#                [--daily-entries N] [--daily-runs N] [PROGRAM [BASELINE]]
#
# --quick (the default) uses nested trees of 10,000 and 200,000 entries; --full adds 1,000,000
# and one folder of 1,000,000 entries (--flat adds only that one). --sizes chooses the trees
# instead, e.g. 10000,100000,200000,flat-1000000 (N: a nested tree of N entries; flat-N: one
# folder of N entries).
# --fs chooses the file systems, from: here (the work folder as it is), ext4 (a fresh ext4 image,
# loop-mounted), tmpfs (a fresh tmpfs); as root the default is ext4,tmpfs, otherwise here.
# --ext4-image is --fs ext4. --runs N sets the timed runs per command, warm and cold.
# Cold runs (caches dropped before each) need root; --no-cold leaves them out, and the daily case
# with them.
# The daily case (root, with the cold runs; --no-daily leaves it out, --only-daily runs it alone):
# a 30-day job on a nested tree of --daily-entries entries (200000) on ext4 with a cold cache, one
# matching file in thirty born long ago, against find; --daily-runs rounds (5).
# PROGRAM is the kehrlund binary to time; without it the script builds it (Release) in build-bench/
# at the top of the repository. BASELINE (or --baseline) is another build to time beside it,
# typically the one before a change; without it that peer is left out. Trees and scratch files go
# to bench/work/ (or to $KEHRLUND_BENCH_WORK); the report goes to bench/results/ and to standard
# output.
set -euo pipefail

bench=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
repo=$(cd "$bench/.." && pwd)
base=${KEHRLUND_BENCH_WORK:-$bench/work}
seed=${KEHRLUND_BENCH_SEED:-1}

root=0
[ "$(id -u)" -eq 0 ] && root=1
trees=(10000 200000)
filesystems=here
[ "$root" = 1 ] && filesystems=ext4,tmpfs
runs=
cold=$root
use_strace=1
program=
baseline=
daily=
only_daily=0
daily_entries=200000
daily_runs=5
programs=()
while [ $# -gt 0 ]; do
    case $1 in
    --quick) trees=(10000 200000) ;;
    --full) trees=(10000 200000 1000000 flat-1000000) ;;
    --flat) trees+=(flat-1000000) ;;
    --sizes) IFS=, read -r -a trees <<< "$2"; shift ;;
    --fs) filesystems=$2; shift ;;
    --ext4-image) filesystems=ext4 ;;
    --runs) runs=$2; shift ;;
    --no-cold) cold=0 ;;
    --no-strace) use_strace=0 ;;
    --baseline) baseline=$2; shift ;;
    --no-daily) daily=0 ;;
    --only-daily) only_daily=1 ;;
    --daily-entries) daily_entries=$2; shift ;;
    --daily-runs) daily_runs=$2; shift ;;
    -h | --help) sed -n '2,28p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
    -*) echo "run.sh: unknown option $1" >&2; exit 2 ;;
    *) programs+=("$1") ;;
    esac
    shift
done
case ${#programs[@]} in
0) ;;
1) program=${programs[0]} ;;
2)
    [ -z "$baseline" ] || { echo "run.sh: the baseline is given twice" >&2; exit 2; }
    program=${programs[0]}
    baseline=${programs[1]}
    ;;
*) echo "run.sh: at most two programs (PROGRAM [BASELINE])" >&2; exit 2 ;;
esac
IFS=, read -r -a fs_list <<< "$filesystems"
for t in "${trees[@]}"; do
    [[ $t =~ ^(flat-)?[0-9]+$ ]] || { echo "run.sh: $t is not a tree size (N or flat-N)" >&2; exit 2; }
done
for fs in "${fs_list[@]}"; do
    case $fs in
    here) ;;
    ext4 | tmpfs) [ "$root" = 1 ] || { echo "run.sh: --fs $fs needs root" >&2; exit 1; } ;;
    *) echo "run.sh: unknown file system $fs (here, ext4 or tmpfs)" >&2; exit 2 ;;
    esac
done
if [ "$cold" = 1 ] && [ "$root" = 0 ]; then
    echo "run.sh: cold runs need root; timing warm runs only" >&2
    cold=0
fi
caches=(warm)
[ "$cold" = 1 ] && caches+=(cold)
[[ $daily_entries =~ ^[0-9]+$ ]] || { echo "run.sh: --daily-entries $daily_entries is not a number" >&2; exit 2; }
[[ $daily_runs =~ ^[1-9][0-9]*$ ]] || { echo "run.sh: --daily-runs $daily_runs is not a count" >&2; exit 2; }
if [ "$only_daily" = 1 ]; then
    [ "$daily" != 0 ] || { echo "run.sh: --only-daily and --no-daily" >&2; exit 2; }
    [ "$root" = 1 ] || { echo "run.sh: the daily case needs root" >&2; exit 1; }
    daily=1
    trees=()
    fs_list=()
fi
daily=${daily:-$cold}

runs_for() { # $1: tree, $2: warm or cold; timed runs per command, fewer on the bigger trees
    if [ -n "$runs" ]; then echo "$runs"; return; fi
    local n=${1#flat-}
    if [ "$n" -le 10000 ]; then
        [ "$2" = warm ] && echo 10 || echo 5
    elif [ "$n" -le 200000 ]; then
        [ "$2" = warm ] && echo 5 || echo 3
    else
        [ "$2" = warm ] && echo 3 || echo 2
    fi
}

needed=(hyperfine faketime python3 find cp systemd-tmpfiles)
[ "$daily" = 1 ] && needed+=(mkfs.ext4 debugfs mountpoint)
for tool in "${needed[@]}"; do
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
    cmake -S "$repo" -B "$repo/build-bench" -DCMAKE_BUILD_TYPE=Release -DKEHRLUND_TESTS=OFF \
        >/dev/null
    cmake --build "$repo/build-bench" -j2 --target kehrlund >/dev/null
    program=$repo/build-bench/kehrlund
fi
builds=("$program")
[ -n "$baseline" ] && builds+=("$baseline")
for p in "${builds[@]}"; do
    if [ ! -f "$p" ] || [ ! -x "$p" ]; then echo "run.sh: $p is not an executable" >&2; exit 1; fi
done
program=$(realpath "$program")
[ -n "$baseline" ] && baseline=$(realpath "$baseline")
if [ "$program" = "$baseline" ]; then
    echo "run.sh: the program and the baseline are the same file, $program" >&2
fi
# The build type of a program's build folder, if it has one.
build_type_of() {
    local cache
    cache=$(dirname "$1")/CMakeCache.txt
    [ -f "$cache" ] || { echo unknown; return; }
    sed -n 's/^CMAKE_BUILD_TYPE:STRING=//p' "$cache"
}

mkdir -p "$base"
base=$(realpath "$base")
raw=$base/raw # the measurements the report is made from; kept after the run
rm -rf "$raw"
mkdir -p "$raw" "$bench/results"
# The floor: removes the files of a list and logs each (bench/floor.c); the promise floor: the same
# with the status read, the file opened, its identity checked and a write lease taken before each
# removal, and the handle closed after (bench/promisefloor.c). Both built here each time.
floor=$base/floor
cc -O2 -Wall -o "$floor" "$bench/floor.c"
promisefloor=$base/promisefloor
cc -O2 -Wall -o "$promisefloor" "$bench/promisefloor.c"

# The file system under test is mounted on $mounted (if any) from the image $image (if any); both
# go away when the script ends, also on a failure or an interrupt. The daily case mounts and
# unmounts once per run, so its mount point may be empty by then; its images are in $images.
mounted=
image=
images=()
release_fs() {
    if [ -n "$mounted" ]; then
        if mountpoint -q "$mounted"; then umount "$mounted" || umount -l "$mounted"; fi
        rmdir "$mounted" || true
        mounted=
    fi
    if [ -n "$image" ]; then
        rm -f "$image"
        image=
    fi
    if [ ${#images[@]} -gt 0 ]; then
        rm -f "${images[@]}"
        images=()
    fi
}
trap release_fs EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

q() { printf '%q ' "$@"; } # words quoted for a shell
say() { echo "== $(date +%H:%M:%S) $*" >&2; }

{
    echo "date: $(date '+%Y-%m-%d %H:%M %Z')"
    echo "host: $(hostname)"
    echo "cpu: $(lscpu 2>/dev/null | sed -n 's/^Model name: *//p' | head -1)"
    echo "cores: $(nproc)"
    echo "memory: $(free -m | awk '/^Mem:/ {print $2 " MiB"}')"
    echo "kernel: $(uname -sr)"
    virtualization=$(systemd-detect-virt 2>/dev/null || true)
    echo "virtualization: ${virtualization:-none}"
    echo "program: $program"
    echo "program version: $("$program" --version < /dev/null 2>&1 | head -1)"
    echo "program sha256: $(sha256sum "$program" | cut -c1-16)"
    echo "build type: $(build_type_of "$program")"
    if [ -n "$baseline" ]; then
        echo "baseline: $baseline"
        echo "baseline version: $("$baseline" --version < /dev/null 2>&1 | head -1)"
        echo "baseline sha256: $(sha256sum "$baseline" | cut -c1-16)"
        echo "baseline build type: $(build_type_of "$baseline")"
    else
        echo "baseline: none"
    fi
    echo "floor: bench/floor.c, cc -O2 ($(cc --version | head -1))"
    echo "promise floor: bench/promisefloor.c, cc -O2"
    echo "commit: $(git -C "$repo" describe --always --dirty 2>/dev/null || echo unknown)"
    # shellcheck disable=SC2185 # GNU find, asked for its version
    echo "find: $(find --version | head -1)"
    echo "systemd-tmpfiles: $(systemd-tmpfiles --version | head -1)"
    echo "faketime: $(dpkg-query -W -f '${Version}' faketime 2>/dev/null || echo unknown)"
    echo "hyperfine: $(hyperfine --version)"
    if [ "$use_strace" = 1 ]; then echo "strace: $(strace --version | head -1)"; fi
    echo "trees: ${trees[*]}"
    echo "file systems: ${fs_list[*]}"
    echo "caches: ${caches[*]}"
    echo "runs: ${runs:-default}"
    if [ "$daily" = 1 ]; then
        echo "daily case: $daily_entries entries, $daily_runs rounds"
    else
        echo "daily case: not run"
    fi
    echo "seed: $seed"
    echo "load before: $(uptime)"
} > "$raw/machine.txt"

# The pristine trees stay in the work folder (and are made again only when gentree.py or the seed
# changes); every run works on a fresh copy on the file system under test.
make_pristine() { # $1: the tree
    local pristine=$base/pristine-$1 stamp flat=()
    stamp="$(sha256sum "$bench/gentree.py" | cut -c1-16) seed $seed"
    if [ ! -d "$pristine" ] || [ "$(cat "$pristine.stamp" 2>/dev/null)" != "$stamp" ]; then
        say "generating the tree $1"
        rm -rf "$pristine" "$pristine.stamp"
        [ "${1#flat-}" != "$1" ] && flat=(--flat)
        python3 "$bench/gentree.py" --entries "${1#flat-}" "${flat[@]}" --seed "$seed" \
            --summary "$pristine.json" "$pristine"
        echo "$stamp" > "$pristine.stamp"
    fi
}
for t in "${trees[@]}"; do
    make_pristine "$t"
    cp "$base/pristine-$t.json" "$raw/tree-$t.json"
done
if [ "$daily" = 1 ]; then
    make_pristine "$daily_entries"
    cp "$base/pristine-$daily_entries.json" "$raw/tree-daily.json"
fi

find_patterns=(-type f \( -iname '*.log' -o -iname '*.tmp' \) ! -newerct '30 days ago')
# find goes by the path relative to the file system's folder, so that a hidden folder above the
# tree (a "/." in the path) cannot make it skip everything.
find_scan=(tree -name '.*' -prune -o "${find_patterns[@]}" -print)
# -delete turns on -depth, under which -prune does nothing: hidden entries are left out by path.
find_clean=(tree -path '*/.*' -o "${find_patterns[@]}" -print -delete)

# The peers of each job: kehrlund (and the baseline, if given), find and systemd-tmpfiles; the two
# floors have no scan.
kehrlunds=(kehrlund)
[ -n "$baseline" ] && kehrlunds+=(baseline)
scan_peers=("${kehrlunds[@]}" find tmpfiles)
clean_peers=("${kehrlunds[@]}" find tmpfiles floor promisefloor)
peers_of() { # $1: scan or clean
    if [ "$1" = scan ]; then echo "${scan_peers[@]}"; else echo "${clean_peers[@]}"; fi
}
binary_of() { # $1: kehrlund or baseline
    if [ "$1" = kehrlund ]; then echo "$program"; else echo "$baseline"; fi
}

# libfaketime moves the program's clock for the clean, as the days going by would. It would also
# rewrite every status the program reads of its folders and files and wrap its monotonic clock,
# costs the program never pays outside the benchmark; it reads the birth times with statx, which
# libfaketime leaves alone, so its verdicts are the same without that.
kehrlund_env=(env NO_FAKE_STAT=1 DONT_FAKE_MONOTONIC=1 FAKETIME_DONT_FAKE_MONOTONIC=1)

# Runs one peer untimed, under a wrapper: $1 scan or clean, $2 the peer, then the wrapper command
# (/usr/bin/time -v ..., strace ...), which sees the peer alone.
run_peer() {
    local job=$1 tool=$2 fake=()
    shift 2
    [ "$job" = clean ] && fake=(faketime -f +40d)
    case $tool in
    kehrlund | baseline)
        (cd "$wd" && "${kehrlund_env[@]}" "${fake[@]}" "$@" "$(binary_of "$tool")" < /dev/null \
            > /dev/null 2> "$fswork/console.txt") ;;
    find)
        local args=("${find_scan[@]}")
        [ "$job" = clean ] && args=("${find_clean[@]}")
        (cd "$fswork" && "${fake[@]}" "$@" find "${args[@]}" > "$fswork/find-list.txt") ;;
    tmpfiles) "${fake[@]}" "$@" systemd-tmpfiles --clean "$fswork/tmpfiles.conf" ;;
    floor) (cd "$fswork" && "${fake[@]}" "$@" "$floor" "$floor_list" "$floor_log") ;;
    promisefloor)
        (cd "$fswork" && "${kehrlund_env[@]}" "${fake[@]}" "$@" "$promisefloor" "$promise_list" \
            "$promise_log") ;;
    esac
}

# The same as a command line for hyperfine: $1 scan or clean, $2 the peer.
peer_command() {
    local faked='' args=("${find_scan[@]}")
    if [ "$1" = clean ]; then
        faked="faketime -f +40d "
        args=("${find_clean[@]}")
    fi
    case $2 in
    kehrlund | baseline)
        echo "cd $(q "$wd")&& $(q "${kehrlund_env[@]}")$faked$(q "$(binary_of "$2")")< /dev/null > /dev/null 2> $(q "$fswork/console.txt")" ;;
    find) echo "cd $(q "$fswork")&& ${faked}find $(q "${args[@]}")> $(q "$fswork/find-list.txt")" ;;
    tmpfiles) echo "${faked}systemd-tmpfiles --clean $(q "$fswork/tmpfiles.conf")" ;;
    floor) echo "cd $(q "$fswork")&& $faked$(q "$floor" "$floor_list" "$floor_log")" ;;
    promisefloor)
        echo "cd $(q "$fswork")&& $(q "${kehrlund_env[@]}")$faked$(q "$promisefloor" "$promise_list" "$promise_log")" ;;
    esac
}

# Times the commands ($4...: -n NAME COMMAND each) taking turns, one run each per round, $1 rounds,
# each round starting with the next command, $2 before every run; joined into hyperfine's form in
# $3. Commands timed in turn see the same spells of a shared machine, which a block of runs of
# one command after the block of another does not. $round_cleanup, if set, runs after every run
# (hyperfine's cleanup comes after all runs of a command, and each call makes one).
round_cleanup=
timed_rounds() {
    local rounds=$1 prepare=$2 target=$3 i k n files=() cleanup=()
    shift 3
    [ -n "$round_cleanup" ] && cleanup=(--cleanup "$round_cleanup")
    n=$(($# / 3))
    local all=("$@")
    for ((i = 0; i < rounds; i++)); do
        local turn=()
        for ((k = 0; k < n; k++)); do
            turn+=("${all[@]:$(((i + k) % n * 3)):3}")
        done
        hyperfine --style basic --runs 1 --prepare "$prepare" "${cleanup[@]}" \
            --export-json "$target.round-$i" "${turn[@]}" >&2
        files+=("$target.round-$i")
    done
    python3 "$bench/report.py" --merge "$target" "${files[@]}"
    rm -f "${files[@]}"
}

# The removed paths from a run log $1 (lines after the header that are not "N Tage"), in its order.
logged_paths() {
    sed -n '4,$p' "$1" | { grep -v -E '^(-?[0-9]+ Tage|Treffer gesamt: [0-9]+)$' || true; }
}

# "same N" when the two files are the same (N lines), else how many lines differ.
compare() {
    if cmp -s "$1" "$2"; then
        echo "same $(grep -c '' "$1" || true)"
    else
        echo "different: $(diff "$1" "$2" | grep -c '^[<>]' || true) lines"
    fi
}

for fs in "${fs_list[@]}"; do
    out=$raw/$fs
    mkdir -p "$out"
    note=
    case $fs in
    here) fswork=$base ;;
    ext4)
        image=$base/ext4.img
        fswork=$base/mnt-ext4
        mkdir -p "$fswork"
        rm -f "$image"
        truncate -s 16G "$image"
        mkfs.ext4 -q -F -N 3000000 -E lazy_itable_init=0,lazy_journal_init=0 "$image"
        mount -o loop "$image" "$fswork"
        mounted=$fswork
        note=" (a fresh ext4 image with journal, 16G, loop-mounted on $(findmnt -no SOURCE -T "$base"))"
        ;;
    tmpfs)
        fswork=$base/mnt-tmpfs
        mkdir -p "$fswork"
        mount -t tmpfs -o size=4G,nr_inodes=3000000,mode=0755 kehrlund-bench "$fswork"
        mounted=$fswork
        note=" (a fresh tmpfs)"
        ;;
    esac
    echo "$(findmnt -no FSTYPE,SOURCE,OPTIONS -T "$fswork" 2>/dev/null || df -T "$fswork" | tail -1)$note" \
        > "$out/filesystem.txt"
    tree=$fswork/tree
    wd=$fswork/wd
    mkdir -p "$wd"
    printf '%s\t%s\t%s\n' "$tree" '*.log;*.tmp' 30 > "$wd/eingabe_kehrlund.txt"
    printf 'e "%s" - - - 30d\n' "$tree" > "$fswork/tmpfiles.conf"
    # The floor's list: the files the clean removes, in the order kehrlund removed them (from its
    # log of the untimed clean); its log goes beside kehrlund's.
    floor_list=$fswork/floor-list.txt
    floor_log=$wd/floor-log.txt
    # The promise floor's list: the same files grouped by folder (the folders in the order their
    # first file comes, the files of each in kehrlund's order), so that it opens each folder once;
    # its log too beside kehrlund's.
    promise_list=$fswork/promise-list.txt
    promise_log=$wd/promise-log.txt

    for t in "${trees[@]}"; do
        # A fresh copy of the tree (tar keeps the modification times, as cp -a does, at twice the
        # speed). The scan removes nothing, so its runs share one copy and remove only the logs.
        # A plain sync, not sync -f of the file system under test: the loop-mounted image's
        # writeback goes on into its backing file on the outer file system, and would otherwise
        # land in the timed run.
        forget_log="rm -f $(q "$wd/log_kehrlund.txt" "$floor_log" "$promise_log")"
        prepare="$forget_log&& rm -rf $(q "$tree")&& mkdir $(q "$tree")&& tar -C $(q "$base/pristine-$t") -cf - .| tar -C $(q "$tree") --warning=no-timestamp -xf -&& sync"

        say "$fs, tree $t: checking that all do the same work, peak memory"
        bash -c "$prepare"
        for tool in "${scan_peers[@]}"; do
            run_peer scan "$tool" /usr/bin/time -v -o "$out/mem-scan-$tool-$t.txt"
            case $tool in
            kehrlund | baseline)
                tail -n 1 "$wd/log_kehrlund.txt" > "$out/verify-scan-$tool-$t.txt"
                rm -f "$wd/log_kehrlund.txt" ;;
            esac
        done
        grep -c '' "$fswork/find-list.txt" > "$out/verify-scan-find-$t.txt" || true
        (cd "$fswork" && find tree -type f | wc -l) > "$out/verify-scan-tmpfiles-$t.txt"
        for tool in "${clean_peers[@]}"; do
            bash -c "$prepare"
            run_peer clean "$tool" /usr/bin/time -v -o "$out/mem-clean-$tool-$t.txt"
            (cd "$fswork" && find tree -type f | sort > "remaining-$tool.txt" &&
                echo "$(grep -c '' "remaining-$tool.txt" || true) $(find tree -type d | wc -l)") \
                > "$out/left-$tool-$t.txt"
            case $tool in
            kehrlund | baseline)
                tail -n 1 "$wd/log_kehrlund.txt" > "$out/verify-clean-$tool-$t.txt"
                grep -c '^"Fehler' "$fswork/console.txt" > "$out/verify-clean-errors-$tool-$t.txt" || true
                logged_paths "$wd/log_kehrlund.txt" > "$fswork/logged-$tool.txt"
                sed "s|^$fswork/||" "$fswork/logged-$tool.txt" | sort > "$fswork/removed-$tool.txt"
                if [ "$tool" = kehrlund ]; then
                    cp "$fswork/logged-kehrlund.txt" "$floor_list"
                    LC_ALL=C awk '{ folder = $0; sub(/\/[^\/]*$/, "", folder)
                        if (!(folder in files)) order[++folders] = folder
                        files[folder] = files[folder] $0 "\n" }
                        END { for (i = 1; i <= folders; i++) printf "%s", files[order[i]] }' \
                        "$floor_list" > "$promise_list"
                fi ;;
            find) sort "$fswork/find-list.txt" > "$fswork/removed-find.txt" ;;
            floor) compare "$floor_list" "$floor_log" > "$out/verify-floor-log-$t.txt" ;;
            promisefloor)
                compare "$promise_list" "$promise_log" > "$out/verify-promisefloor-log-$t.txt"
                sort "$floor_list" | cmp -s - <(sort "$promise_list") ||
                    echo "run.sh: the promise floor's list is not the floor's" >&2
                # How many folders the list goes through, against how many hold its files: the
                # same when it is grouped.
                sed 's|/[^/]*$||' "$promise_list" > "$fswork/promise-folders.txt"
                echo "$(uniq "$fswork/promise-folders.txt" | wc -l) $(sort -u "$fswork/promise-folders.txt" | wc -l)" \
                    > "$out/verify-promisefloor-folders-$t.txt"
                rm -f "$fswork/promise-folders.txt" ;;
            esac
        done
        compare "$fswork/removed-kehrlund.txt" "$fswork/removed-find.txt" \
            > "$out/verify-clean-same-$t.txt"
        if [ -n "$baseline" ]; then
            compare "$fswork/removed-baseline.txt" "$fswork/removed-find.txt" \
                > "$out/verify-clean-same-baseline-$t.txt"
            compare "$fswork/logged-kehrlund.txt" "$fswork/logged-baseline.txt" \
                > "$out/verify-order-$t.txt"
        fi
        for tool in "${clean_peers[@]:1}"; do
            if cmp -s "$fswork/remaining-kehrlund.txt" "$fswork/remaining-$tool.txt"; then
                echo same
            else
                echo "different: $(diff "$fswork/remaining-kehrlund.txt" "$fswork/remaining-$tool.txt" | grep -c '^[<>]') lines"
            fi > "$out/verify-remaining-$tool-$t.txt"
        done
        rm -f "$fswork"/remaining-*.txt "$fswork"/removed-*.txt "$fswork"/logged-*.txt

        bash -c "$prepare"
        for job in scan clean; do
            commands=()
            for tool in $(peers_of "$job"); do
                commands+=(-n "$tool" "$(peer_command "$job" "$tool")")
            done
            for cache in "${caches[@]}"; do
                r=$(runs_for "$t" "$cache")
                p=$prepare
                [ "$job" = scan ] && p=$forget_log
                [ "$cache" = cold ] && p="$p&& sync && echo 3 > /proc/sys/vm/drop_caches"
                say "$fs, tree $t: $job, $cache, $r runs each"
                timed_rounds "$r" "$p" "$out/time-$job-$cache-$t.json" "${commands[@]}"
            done
        done

        if [ "$use_strace" = 1 ] && [ "$t" = 200000 ]; then
            say "$fs, tree $t: counting system calls"
            for job in scan clean; do
                for tool in $(peers_of "$job"); do
                    bash -c "$prepare"
                    run_peer "$job" "$tool" strace -c -f -o "$out/strace-$job-$tool-$t.txt"
                done
            done
        fi
    done
    rm -rf "$tree" "$wd" "$fswork/tmpfiles.conf" "$fswork/console.txt" "$fswork/find-list.txt" \
        "$floor_list" "$promise_list"
    release_fs
done

# The daily case: a daily timer with a 30-day period meets a cold cache and removes about one in
# thirty of the files it looks at. A file copied is born at the copy, so the old files get their
# birth (and status-change) time written into a pristine image once; every run gets a fresh copy
# of that image, mounted, synced, caches dropped, and unmounted after.
if [ "$daily" = 1 ]; then
    out=$raw/daily
    mkdir -p "$out"
    dimg=$base/daily-pristine.img
    dwork=$base/daily-work.img
    dmnt=$base/mnt-daily
    dlists=$base/daily-lists
    rm -rf "$dlists"
    mkdir -p "$dmnt" "$dlists"
    images=("$dimg" "$dwork")
    rm -f "$dimg" "$dwork"
    say "daily case, tree $daily_entries: making the image"
    # The tree goes in through the mounted file system rather than mkfs.ext4 -d, which copies each
    # entry's status-change time from the source: the pristine tree may be older than the 30 days
    # that find judges by. 256-byte inodes hold the birth time; a sparse image costs only what is
    # written.
    size_mib=$((daily_entries / 128))
    [ "$size_mib" -ge 2048 ] || size_mib=2048
    truncate -s "${size_mib}M" "$dimg"
    mkfs.ext4 -q -F -I 256 -N $((daily_entries + daily_entries / 4 + 10000)) \
        -E lazy_itable_init=0,lazy_journal_init=0 "$dimg"
    mount -o loop "$dimg" "$dmnt"
    mounted=$dmnt
    mkdir "$dmnt/tree" "$dmnt/wd"
    tar -C "$base/pristine-$daily_entries" -cf - . |
        tar -C "$dmnt/tree" --warning=no-timestamp -xf -
    printf '%s\t%s\t%s\n' "$dmnt/tree" '*.log;*.tmp' 30 > "$dmnt/wd/eingabe_kehrlund.txt"
    printf 'e "%s" - - - 30d\n' "$dmnt/tree" > "$dmnt/tmpfiles.conf"
    # Every 30th matching visible file, in the order of the sorted paths, is the old one.
    (cd "$dmnt" && find tree -path '*/.*' -prune -o -type f \( -iname '*.log' -o -iname '*.tmp' \) \
        -print) | sort > "$dlists/matching.txt"
    awk 'NR % 30 == 0' "$dlists/matching.txt" > "$dlists/old.txt"
    (cd "$dmnt" && find tree -type f | sort) > "$dlists/all.txt"
    grep -c '' "$dlists/all.txt" > "$out/files.txt"
    umount "$dmnt"
    if grep -q '[[:space:]"\\]' "$dlists/old.txt"; then
        echo "run.sh: a path of the daily tree holds a blank or a quote, which debugfs would split" >&2
        exit 1
    fi
    # All four times old, so that systemd-tmpfiles, which keeps a file any of them calls young,
    # removes the same files.
    old_time=20250101120000
    sed "s|.*|sif /& crtime $old_time\nsif /& ctime $old_time\nsif /& atime $old_time\nsif /& mtime $old_time|" \
        "$dlists/old.txt" > "$dlists/debugfs.txt"
    debugfs -w -f "$dlists/debugfs.txt" "$dimg" > /dev/null 2> "$dlists/debugfs-errors.txt"
    if grep -v '^debugfs [0-9.]* (' "$dlists/debugfs-errors.txt" | grep -q .; then
        echo "run.sh: debugfs could not set the old times:" >&2
        head "$dlists/debugfs-errors.txt" >&2
        exit 1
    fi
    grep -c '' "$dlists/matching.txt" > "$out/matching.txt" || true
    grep -c '' "$dlists/old.txt" > "$out/old.txt" || true
    echo "ext4 in a sparse ${size_mib} MiB image (inodes of 256 bytes, journal), loop-mounted on $(findmnt -no FSTYPE,SOURCE -T "$base"); old files born $old_time" \
        > "$out/filesystem.txt"
    sync

    # Before each run a fresh copy of the image, mounted; a leftover mount (a run cut short) first
    # goes.
    dprepare="if mountpoint -q $(q "$dmnt"); then umount $(q "$dmnt"); fi; rm -f $(q "$dwork")&& cp --reflink=auto --sparse=always $(q "$dimg" "$dwork")&& mount -o loop $(q "$dwork" "$dmnt")&& sync && echo 3 > /proc/sys/vm/drop_caches"
    dcleanup="umount $(q "$dmnt")"
    daily_peers=("${kehrlunds[@]}" find tmpfiles)
    daily_command() { # $1: the peer
        case $1 in
        kehrlund | baseline)
            echo "cd $(q "$dmnt/wd")&& $(q "$(binary_of "$1")")< /dev/null > /dev/null 2> $(q "$dmnt/console.txt")" ;;
        find) echo "cd $(q "$dmnt")&& find $(q "${find_clean[@]}")> $(q "$dmnt/find-list.txt")" ;;
        tmpfiles) echo "systemd-tmpfiles --clean $(q "$dmnt/tmpfiles.conf")" ;;
        esac
    }
    # The same untimed, under a wrapper ($2...) that sees the peer alone.
    daily_run() {
        local tool=$1
        shift
        case $tool in
        kehrlund | baseline)
            (cd "$dmnt/wd" && "$@" "$(binary_of "$tool")" < /dev/null > /dev/null \
                2> "$dmnt/console.txt") ;;
        find) (cd "$dmnt" && "$@" find "${find_clean[@]}" > "$dmnt/find-list.txt") ;;
        tmpfiles) "$@" systemd-tmpfiles --clean "$dmnt/tmpfiles.conf" ;;
        esac
    }

    say "daily case, tree $daily_entries: checking that all remove the same files, peak memory"
    sort "$dlists/old.txt" > "$dlists/expected.txt"
    for tool in "${daily_peers[@]}"; do
        bash -c "$dprepare"
        daily_run "$tool" /usr/bin/time -v -o "$out/mem-$tool.txt"
        case $tool in
        kehrlund | baseline)
            tail -n 1 "$dmnt/wd/log_kehrlund.txt" > "$out/verify-log-$tool.txt"
            grep -c '^"Fehler' "$dmnt/console.txt" > "$out/verify-errors-$tool.txt" || true
            logged_paths "$dmnt/wd/log_kehrlund.txt" | sed "s|^$dmnt/||" | sort \
                > "$dlists/removed-$tool.txt" ;;
        find) sort "$dmnt/find-list.txt" > "$dlists/removed-find.txt" ;;
        esac
        (cd "$dmnt" && find tree -type f | sort) > "$dlists/remaining-$tool.txt"
        [ "$tool" = tmpfiles ] &&
            comm -23 "$dlists/all.txt" "$dlists/remaining-$tool.txt" > "$dlists/removed-$tool.txt"
        grep -c '' "$dlists/remaining-$tool.txt" > "$out/left-$tool.txt" || true
        bash -c "$dcleanup"
        compare "$dlists/removed-$tool.txt" "$dlists/expected.txt" > "$out/verify-removed-$tool.txt"
        [ "$tool" = kehrlund ] ||
            compare "$dlists/remaining-kehrlund.txt" "$dlists/remaining-$tool.txt" \
                > "$out/verify-remaining-$tool.txt"
    done

    commands=()
    for tool in "${daily_peers[@]}"; do
        commands+=(-n "$tool" "$(daily_command "$tool")")
    done
    say "daily case, tree $daily_entries: cold, $daily_runs rounds"
    round_cleanup=$dcleanup
    timed_rounds "$daily_runs" "$dprepare" "$out/time-daily-cold.json" "${commands[@]}"
    round_cleanup=
    release_fs
    rm -rf "$dlists"
fi

if [ "$only_daily" = 1 ]; then
    echo "load after: $(uptime)" >> "$raw/machine.txt"
    result=$bench/results/$(date +%Y-%m-%d-%H%M)-$(hostname -s)-daily.md
    python3 "$bench/report.py" "$raw" "" > "$result"
    cat "$result"
    echo "(written to ${result#"$repo"/})" >&2
    exit 0
fi

# The fixed cost of a run: no job at all, against one job on an empty folder (which adds the
# snapshot of the files that running programs hold open, taken once per run).
say "fixed cost of a run"
mkdir -p "$base/wd-none" "$base/wd-empty" "$base/empty"
: > "$base/wd-none/eingabe_kehrlund.txt"
printf '%s\t%s\t%s\n' "$base/empty" '*.log;*.tmp' 30 > "$base/wd-empty/eingabe_kehrlund.txt"
compgen -G '/proc/[0-9]*' | wc -l > "$raw/processes.txt"
fixed=(-n "no job" "cd $(q "$base/wd-none")&& $(q "$program")< /dev/null > /dev/null 2>&1"
    -n "one job, empty folder" "cd $(q "$base/wd-empty")&& $(q "$program")< /dev/null > /dev/null 2>&1")
[ -n "$baseline" ] && fixed+=(-n "one job, empty folder, baseline"
    "cd $(q "$base/wd-empty")&& $(q "$baseline")< /dev/null > /dev/null 2>&1")
fixed+=(-n "find, empty folder"
    "find $(q "$base/empty" -name '.*' -prune -o "${find_patterns[@]}" -print)> /dev/null")
hyperfine --style basic --runs 30 --warmup 3 \
    --prepare "rm -f $(q "$base/wd-none/log_kehrlund.txt" "$base/wd-empty/log_kehrlund.txt")" \
    --export-json "$raw/fixed.json" "${fixed[@]}" >&2

echo "load after: $(uptime)" >> "$raw/machine.txt"
result=$bench/results/$(date +%Y-%m-%d-%H%M)-$(hostname -s).md
python3 "$bench/report.py" "$raw" "$(IFS=,; echo "${fs_list[*]}")" "${trees[@]}" > "$result"
cat "$result"
echo "(written to ${result#"$repo"/})" >&2
