#!/usr/bin/env bash
# Tries the Debian package out on this machine: installs build-package/kehrlund_*.deb (made by
# packaging/check-package.sh) with apt-get, runs the installed program on a copy of the example
# working folder, checks the systemd units and the cron line against it, and purges the package
# again, also when a check fails.
#
#   bash packaging/check-installed.sh
#
# systemd-analyze checks the units without a running systemd; packaging/container/
# check-container.sh tries them under a real one. Installs what it needs first
# (scripts/install-deps.sh build package). The step "installed" of scripts/test.sh.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=../scripts/lib.sh
source "$(dirname "$0")/../scripts/lib.sh"
# shellcheck source-path=SCRIPTDIR source=example-expected.sh
source "$(dirname "$0")/example-expected.sh"
cd "$top"
bash scripts/install-deps.sh build package
clear_stale_faketime

remove_package() {
    if dpkg-query -W -f='${Status}' kehrlund 2>/dev/null | grep -q ' installed$\| config-files$'; then
        "${apt_get[@]}" purge -y kehrlund
    fi
}

# One run of the installed program on a copy of the example working folder, 40 days on.
installed_run() {
    local work console status=0 expected_console expected_body left
    work=$(example_copy)
    expected_console=$(example_console)
    expected_body=$(example_log_body)
    # In UTC, so that no change to or from summer time makes 40 days of 24 hours 39 or 41 days.
    console=$(cd "$work" && TZ=UTC LC_ALL=C.UTF-8 faketime -f +40d /usr/bin/kehrlund </dev/null 2>&1) ||
        status=$?
    [ $status -eq 0 ] || fail "the installed program exited with $status"
    [ "$console" = "$expected_console" ] ||
        fail "console of the installed program:"$'\n'"$console"
    { [ "$(sed -n 1p "$work/log_kehrlund.txt")" = '**************************' ] &&
        sed -n 2p "$work/log_kehrlund.txt" |
        grep -qE '^  [0-9]{2}\.[0-9]{2}\.[0-9]{4} / [0-9]{2}:[0-9]{2} Uhr$' &&
        [ "$(sed -n 3p "$work/log_kehrlund.txt")" = '**************************' ] &&
        [ "$(tail -n +4 "$work/log_kehrlund.txt")" = "$expected_body" ]; } ||
        fail "run log of the installed program:"$'\n'"$(cat "$work/log_kehrlund.txt")"
    left=$(cd "$work" && find . -type f | sort | tr '\n' ' ')
    [ "$left" = "$example_left" ] || fail "files left after the run: $left"
    rm -rf "$work"
    echo "installed program: console, run log and remaining files as expected"
}

# The systemd units as the package installed them, checked against the installed program (and
# its manual page, which Documentation= names, unless dpkg is set to leave manual pages out), once
# alone and once with the example drop-in. systemd-analyze needs no running systemd; any message
# it prints counts as a failure. Then every system call of a run of the installed program must
# pass the service's SystemCallFilter=.
installed_units() {
    local service timer units report work man_check=()
    service=$(dpkg -L kehrlund | grep -E '^(/usr)?/lib/systemd/system/kehrlund\.service$') ||
        fail "the package installed no kehrlund.service"
    timer=${service%.service}.timer
    [ -f "$timer" ] || fail "the package installed no kehrlund.timer"
    man -w kehrlund >/dev/null 2>&1 || man_check=(--man=no)
    report=$(systemd-analyze verify "${man_check[@]}" "$service" "$timer" 2>&1) ||
        fail "systemd-analyze verify:"$'\n'"$report"
    [ -z "$report" ] || fail "systemd-analyze verify:"$'\n'"$report"
    units=$(mktemp -d)
    cp "$service" "$timer" "$units/"
    mkdir "$units/kehrlund.service.d"
    cp /usr/share/doc/kehrlund/examples/kehrlund-override.conf "$units/kehrlund.service.d/"
    report=$(systemd-analyze verify "${man_check[@]}" "$units/kehrlund.service" 2>&1) ||
        fail "systemd-analyze verify with the example drop-in:"$'\n'"$report"
    [ -z "$report" ] || fail "systemd-analyze verify with the example drop-in:"$'\n'"$report"
    rm -rf "$units"
    echo "systemd-analyze verify: no findings (units alone and with the example drop-in)"
    systemd-analyze security --offline=true --no-pager "$service" | tail -n 1
    work=$(example_copy)
    TZ=UTC bash packaging/check-syscalls.sh "$service" "$work" faketime -f +40d /usr/bin/kehrlund
    rm -rf "$work"
}

# The cron line's command, run in a copy of the example working folder with the system log
# replaced by a file and its lock in a scratch file. Its standard input stays open for longer
# than the time allowed, so only the line's own "< /dev/null" lets the closing prompt return in
# time. While another process holds the lock, the command must return at once and run nothing.
installed_cron() {
    local line command work lock started
    line=$(grep -E '^[0-9*]' /usr/share/doc/kehrlund/examples/kehrlund.cron)
    command=$(cut -d' ' -f7- <<<"$line")
    grep -qF 'flock -n /run/kehrlund.lock ' <<<"$command" || fail "cron line takes no lock: $line"
    work=$(example_copy)
    command=${command//\/var\/lib\/kehrlund/$work}
    command=${command//\/run\/kehrlund.lock/$work.lock}
    command=${command//\/usr\/bin\/logger -t kehrlund/cat >\"$work.syslog\"}

    # The lock held here, as an earlier run would hold it, then let go.
    exec {lock}>"$work.lock"
    flock "$lock"
    started=$SECONDS
    # (The lock's descriptor is not handed on to the input's "sleep", which outlives the test.)
    timeout 10 sh -c "$command" < <(sleep 30 {lock}>&-) || true
    exec {lock}>&-
    if [ -e "$work/log_kehrlund.txt" ] || [ -s "$work.syslog" ]; then
        fail "cron command ran while the lock was held: $command"
    fi
    [ $((SECONDS - started)) -lt 5 ] || fail "cron command waited for the lock: $command"

    timeout 20 sh -c "$command" < <(sleep 30) || fail "cron command did not finish: $command"
    grep -qx '"Treffer gesamt: " 0 ' "$work.syslog" || fail "cron command wrote no run"
    [ -f "$work/log_kehrlund.txt" ] || fail "cron command left no run log"
    rm -rf "$work" "$work.syslog" "$work.lock"
    echo "cron line: runs in its folder, returns at once, skips a run while the lock is held"
}

debs=("$top/build-package"/kehrlund_*.deb)
[ -f "${debs[0]}" ] ||
    fail "no package in build-package; run packaging/check-package.sh (the step \"package\") first"
remove_package # left over from an earlier, interrupted run
trap remove_package EXIT
"${apt_get[@]}" install -y "${debs[0]}"
[ -x /usr/bin/kehrlund ] || fail "/usr/bin/kehrlund is not installed"

installed_run
installed_units
installed_cron

# Purged, not only removed: /etc/logrotate.d/kehrlund is a configuration file.
"${apt_get[@]}" purge -y kehrlund
trap - EXIT
[ ! -e /usr/bin/kehrlund ] || fail "/usr/bin/kehrlund is still there after removal"
[ ! -e /etc/logrotate.d/kehrlund ] || fail "/etc/logrotate.d/kehrlund is still there after purge"
! dpkg-query -W -f='${Status}\n' kehrlund 2>/dev/null | grep -q ' installed$\| config-files$' ||
    fail "dpkg still lists kehrlund: $(dpkg-query -W -f='${Status}' kehrlund)"
echo "package installed, used and purged cleanly"
