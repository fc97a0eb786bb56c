#!/usr/bin/env bash
# Installs what is missing, builds Kehrlund and checks it, step by step:
#   plain     build with the preset "plain", run every test but the manual page's
#   sanitize  build with AddressSanitizer and UndefinedBehaviorSanitizer, run the same tests
#   plainwalk build with the walk by path (systems without folder handles), run its tests: all
#             but those labelled needs-handles
#   manual    the manual page kehrlund(1) renders without warnings and names every program message
#             (the CTest test "manual", tests/check-manual.sh)
#   package   build the Debian packages with dpkg-buildpackage (debhelper); lintian --pedantic
#             finds no errors or warnings (packaging/check-package.sh)
#   installed install the package with apt-get, run the installed program on a copy of the
#             example working folder, check the systemd units and the cron line against it,
#             purge the package again (packaging/check-installed.sh)
#   container boot a minimal Debian 12 with systemd-nspawn, install the package there and try
#             its service, timer and logrotate snippet under a real systemd; skipped where the
#             machine cannot boot a container, unless CI=true (packaging/container/check-container.sh)
#   windows   cross-build the Windows program with mingw-w64 (Qt for Windows is built once and
#             cached by scripts/qt-windows.sh), make its ZIP, unpack it, run it under Wine on
#             the example working folder and run the black-box tests labelled windows-ok
#             against it under Wine (packaging/windows/check-windows.sh)
#
#   bash scripts/test.sh              every step, in this order
#   bash scripts/test.sh manual ...   only the steps named
#
# The steps plain, sanitize, plainwalk and manual are the workflows of the same names in
# CMakePresets.json (configure, build, test; "cmake --workflow --preset plain" runs one by hand);
# the tests are chosen by their CTest labels there. Each of them first installs the groups of
# packages it needs (scripts/install-deps.sh, list "step_groups" below). The other steps are
# scripts of their own next to what they check (list "step_scripts" below); each runs alone as
# well and installs what it needs itself. The build folders are those of the presets: build
# (plain), build-sanitize, build-plainwalk, build-windows; the package is built in
# build-package. Works as root or as a user with sudo.
# To add a step: a workflow preset and its groups in "step_groups", or a script in
# "step_scripts"; and its name in "all_steps", in its place.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"
cd "$top"

all_steps=(plain sanitize plainwalk manual package installed container windows)
# The groups of scripts/install-deps.sh that each workflow step needs. (The walk by path, as
# systems without folder handles use it, has the same behaviour, so the same tests; its
# workflow leaves out those labelled needs-handles, the attacks that only folder handles
# withstand. The step manual configures the plain build and compiles nothing.)
declare -A step_groups=([plain]="build test" [sanitize]="build test" [plainwalk]="build test"
                        [manual]="build manual")
# The checks of the package and of the Windows build.
declare -A step_scripts=([package]=packaging/check-package.sh
                         [installed]=packaging/check-installed.sh
                         [container]=packaging/container/check-container.sh
                         [windows]=packaging/windows/check-windows.sh)
steps=("${all_steps[@]}")
[ $# -eq 0 ] || steps=("$@")
for step in "${steps[@]}"; do
    if [ -z "${step_groups[$step]:-}" ] && [ -z "${step_scripts[$step]:-}" ]; then
        fail "no step \"$step\"; steps: ${all_steps[*]}"
    fi
done
[ -z "${KEHRLUND_BUILD:-}" ] ||
    fail "KEHRLUND_BUILD is no longer read: the build folders are those of CMakePresets.json (see README.md, Set-up)"
clear_stale_faketime
timings=()
skipped=()
for step in "${steps[@]}"; do
    printf '\n==== %s ====\n' "$step"
    started=$SECONDS
    if [ -n "${step_scripts[$step]:-}" ]; then
        status=0
        bash "${step_scripts[$step]}" || status=$?
        if [ $status -eq "$skipped_status" ]; then
            skipped+=("$step")
        elif [ $status -ne 0 ]; then
            fail "step $step (${step_scripts[$step]}) exited with $status"
        fi
    else
        # shellcheck disable=SC2086 # one argument per group
        bash scripts/install-deps.sh ${step_groups[$step]}
        cmake --workflow --preset "$step"
    fi
    timings+=("$step $((SECONDS - started))s")
done
summary=$(printf '%s, ' "${timings[@]}")
if [ ${#skipped[@]} -gt 0 ]; then
    printf '\n==== steps passed (%s); SKIPPED: %s ====\n' "${summary%, }" "${skipped[*]}"
else
    printf '\n==== all steps passed (%s) ====\n' "${summary%, }"
fi
