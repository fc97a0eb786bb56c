# shellcheck shell=bash disable=SC2034 # its variables are for the scripts that source it
# Sourced by the scripts in scripts/ and the checks under packaging/, so that each of them can
# run alone, as root or as a user with sudo. Sets:
#   top        the top of the checkout (the scripts cd there themselves)
#   jobs       the number of cores; cmake --build and the workflows build with as many jobs
#   as_root    the prefix of a command that must run as root: nothing for root, else sudo
#   apt_get    apt-get as root, without progress bars (they only clutter a CI log)
# and defines fail, root_run and clear_stale_faketime.
top=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
jobs=$(nproc)
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$jobs}
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
apt_get=("${as_root[@]}" apt-get -q -o Dpkg::Use-Pty=0)
# The exit status of a check that this machine cannot run (not a failure); scripts/test.sh
# reports the step as skipped.
skipped_status=77

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

# A command as root (through sudo when not root).
root_run() { "${as_root[@]}" "$@"; }

# libfaketime names its shared memory after the process; what a faketime killed earlier left
# behind would make a later one with the same process number fail ("sem_open: File exists").
clear_stale_faketime() {
    local stale
    for stale in /dev/shm/faketime_shm_* /dev/shm/sem.faketime_sem_*; do
        [ -e "$stale" ] || continue
        kill -0 "${stale##*_}" 2>/dev/null || root_run rm -f "$stale"
    done
}
