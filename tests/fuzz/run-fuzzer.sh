#!/usr/bin/env bash
# Runs the job-file fuzzer for a bounded time and prints what it did.
#
#   run-fuzzer.sh FUZZER [SECONDS]     (60 seconds unless given)
#
# Starts from the inputs in corpus/ with the words of jobfile.dict; what the run finds new stays
# in a temporary folder (in memory where there is a tmpfs), removed at the end. An input that
# crashes the reader is kept as crash-* (or leak-*, timeout-*, oom-*) in the current folder, and
# the run fails.
set -euo pipefail
fuzzer=$1
seconds=${2:-60}
here=$(cd "$(dirname "$0")" && pwd)
artifacts=$(pwd)
work=$(mktemp -d -p /dev/shm kehrlund-fuzz-XXXXXX 2>/dev/null || mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/corpus" "$work/files"
export LC_ALL=C.UTF-8 TZ=UTC KEHRLUND_FUZZ_FOLDER="$work/files"
status=0
"$fuzzer" -max_total_time="$seconds" -timeout=25 -rss_limit_mb=2048 -max_len=65536 \
          -dict="$here/jobfile.dict" -print_final_stats=1 -artifact_prefix="$artifacts/" \
          "$work/corpus" "$here/corpus" >"$work/output" 2>&1 || status=$?
if [ $status -ne 0 ]; then
    cat "$work/output"
    echo "FAILED: the fuzzer stopped with status $status" >&2
    exit 1
fi
grep -E '^(INFO: Seed|Done|stat::)' "$work/output" || true
