#!/usr/bin/env bash
# Installs what is missing, builds Kehrlund and checks it, step by step:
#   plain     build with the preset "plain", run every test but the manual page's
#   sanitize  build with AddressSanitizer and UndefinedBehaviorSanitizer, run the same tests
#   plainwalk build with the walk by path (systems without folder handles), run its tests: all
#             but those labelled needs-handles
#   manual    the manual page kehrlund(1) renders without warnings and names every program message
#             (the CTest test "manual", tests/check-manual.sh)
#   package   build the Debian packages with dpkg-buildpackage (debhelper); lintian --pedantic
#             finds no errors or warnings
#   installed install the package with apt-get, run the installed program on a copy of the
#             example working folder, check the systemd units and the cron line against it,
#             purge the package again
#   container boot a minimal Debian 12 with systemd-nspawn, install the package there and try
#             its service, timer and logrotate snippet under a real systemd
#   windows   cross-build the Windows program with mingw-w64 (Qt for Windows is built once and
#             cached by scripts/qt-windows.sh), make its ZIP, unpack it, run it under Wine on
#             the example working folder and run the black-box tests labelled windows-ok
#             against it under Wine
#
#   bash scripts/test.sh              every step, in this order
#   bash scripts/test.sh manual ...   only the steps named
#
# The steps plain, sanitize, plainwalk and manual are the workflows of the same names in
# CMakePresets.json (configure, build, test; "cmake --workflow --preset plain" runs one by hand);
# the tests are chosen by their CTest labels there. Each step first installs the groups of
# packages it needs (scripts/install-deps.sh, list "step_groups" below). The build folders are
# those of the presets: build (plain), build-sanitize, build-plainwalk, build-windows; the
# package is built in build-package. Works as root or as a user with sudo.
# KEHRLUND_QT_WINDOWS (default /var/cache/kehrlund-qt-win/5.15.8) is where Qt for Windows is
# cached, KEHRLUND_WINEPREFIX (default /var/cache/kehrlund-wine/prefix) Wine's prefix.
# To add a step: write a function below and add its name to the lists "all_steps" and
# "step_groups" at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
jobs=$(nproc)
# cmake --build (and the workflows' build steps) build with this many jobs.
export CMAKE_BUILD_PARALLEL_LEVEL=${CMAKE_BUILD_PARALLEL_LEVEL:-$jobs}
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
apt_get=("${as_root[@]}" apt-get -q -o Dpkg::Use-Pty=0) # no progress bars in the CI log

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

# ---------------------------------------------------------------------------------------------
# Configure, build and test with the presets of one workflow in CMakePresets.json.
plain() { cmake --workflow --preset plain; }
sanitize() { cmake --workflow --preset sanitize; }
# The walk by path through Qt alone, as systems without folder handles use it: the same
# behaviour, so the same tests (those labelled needs-handles, the attacks that only folder
# handles withstand, left out).
plainwalk() { cmake --workflow --preset plainwalk; }
# The manual page: configures the plain build (nothing is compiled) and runs the test "manual".
manual() { cmake --workflow --preset manual; }

# ---------------------------------------------------------------------------------------------
# The Debian packages, built from debian/ with dpkg-buildpackage and debhelper. dpkg-buildpackage
# writes its results next to the source folder and its build files into it, so it builds a copy
# of the source in build-package/source; the .deb files, .buildinfo and .changes land in
# build-package/. lintian, pedantic, must find no error and no warning.
package() {
    local out debs dbgsym contents path
    out=$(realpath -m build-package)
    rm -rf "$out"
    mkdir -p "$out/source"
    tar -c --exclude=./.git --exclude=./build --exclude='./build-*' --exclude=./bench/work . |
        tar -x -C "$out/source"
    (cd "$out/source" && dpkg-buildpackage -us -uc -b -j"$jobs")
    rm -rf "$out/source"
    debs=("$out"/kehrlund_*.deb)
    [ -f "${debs[0]}" ] || fail "dpkg-buildpackage made no kehrlund_*.deb"
    dbgsym=("$out"/kehrlund-dbgsym_*.deb)
    [ -f "${dbgsym[0]}" ] || fail "no debug-symbol package kehrlund-dbgsym"
    dpkg-deb --info "${debs[0]}"
    contents=$(dpkg-deb --contents "${debs[0]}")
    echo "$contents"
    # What debhelper installs from debian/: a missing file here is no error for lintian.
    for path in ./usr/bin/kehrlund ./usr/share/man/man1/kehrlund.1.gz \
                ./lib/systemd/system/kehrlund.service ./lib/systemd/system/kehrlund.timer \
                ./etc/logrotate.d/kehrlund ./usr/share/doc/kehrlund/copyright \
                ./usr/share/doc/kehrlund/changelog.Debian.gz ./usr/share/doc/kehrlund/changelog.gz \
                ./usr/share/doc/kehrlund/examples/kehrlund.cron \
                ./usr/share/doc/kehrlund/examples/kehrlund-override.conf \
                ./usr/share/doc/kehrlund/examples/eingabe_kehrlund.txt; do
        grep -qE " $path\$" <<<"$contents" || fail "the package lacks $path"
    done
    # Overridden tags, each with its reason, are in debian/kehrlund.lintian-overrides.
    lintian --pedantic --display-info --fail-on error,warning "$out"/kehrlund_*.changes
    echo "lintian --pedantic: no errors, no warnings"
}

# ---------------------------------------------------------------------------------------------
remove_package() {
    if dpkg-query -W -f='${Status}' kehrlund 2>/dev/null | grep -q ' installed$\| config-files$'; then
        "${apt_get[@]}" purge -y kehrlund
    fi
}

installed() {
    local debs=("$top/build-package"/kehrlund_*.deb)
    [ -f "${debs[0]}" ] || fail "no package in build-package; run the step \"package\" first"
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
}

# A fresh copy of the example working folder; prints its path.
example_copy() {
    local work
    work=$(mktemp -d)
    cp -r example/. "$work/"
    echo "$work"
}

# What a run on the example working folder, 40 days on, writes on the console (every line ends
# in a blank; it is added here so that no editor can strip it) and into the run log after the
# header.
example_console() {
    sed 's/$/ /' <<'END'
"Ordner: " "daten"
""
"Treffer: " "bericht.log"
"Alter in Tagen: " 40
"Treffer: " "Protokoll.LOG"
"Alter in Tagen: " 40
"Treffer: " "zwischen.tmp"
"Alter in Tagen: " 40
""
"Treffer gesamt: " 3
"Bitte druecken Sie eine Taste zum beenden..."
END
}

example_log_body() {
    printf '%s\n' daten/bericht.log '40 Tage' daten/Protokoll.LOG '40 Tage' \
        daten/unterordner/zwischen.tmp '40 Tage' 'Treffer gesamt: 3'
}

# One run of the installed program on a copy of the example working folder, 40 days on: the
# .log and .tmp files go (whatever the case of the ending), the hidden one and the others stay.
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
    [ "$left" = './daten/.versteckt.log ./daten/notiz.txt ./daten/unterordner/behalten.csv ./eingabe_kehrlund.txt ./log_kehrlund.txt ' ] ||
        fail "files left after the run: $left"
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

# ---------------------------------------------------------------------------------------------
# The package under a real systemd: a minimal Debian 12 booted with systemd-nspawn (no systemd
# needed on this machine), the package installed in it, and its service and timer tried out.
# The root folder from debootstrap is kept in $container_cache (outside the checkout) and used
# read-only: every run boots an overlay of it (or, where overlays are refused, a copy), so each
# run starts clean. Needs root (or sudo) and the right to create namespaces; where the machine
# cannot boot a container, the step says so and is skipped, and under CI=true it fails.
container_cache=${KEHRLUND_CONTAINER_CACHE:-/var/cache/kehrlund-test/bookworm-root}
container_packages=systemd,systemd-sysv,dbus,libqt5core5a,logrotate,faketime
container_dir=
container_nspawn=
container_init=
skipped=()

# A command as root (through sudo when not root).
root_run() { "${as_root[@]}" "$@"; }

# A command in the running container, with a plain environment.
in_container() {
    root_run nsenter -t "$container_init" -a \
        env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 "$@"
}

container_unavailable() {
    [ -z "${CI:-}" ] || fail "container: this machine cannot boot a container: $*"
    echo "SKIPPED: container: this machine cannot boot a container: $*" >&2
    echo "SKIPPED: (under CI=true this is a failure)" >&2
    skipped+=(container)
}

# The cached root folder, made by debootstrap when it is missing or was made for other packages.
container_root() {
    local stamp=$container_cache.packages
    if root_run test -x "$container_cache/lib/systemd/systemd" &&
       [ "$(root_run cat "$stamp" 2>/dev/null)" = "$container_packages" ]; then
        echo "container: cached root $container_cache"
        return
    fi
    echo "container: making the root folder $container_cache with debootstrap"
    root_run rm -rf "$container_cache" "$container_cache.new" "$stamp"
    root_run mkdir -p "$(dirname "$container_cache")"
    root_run debootstrap --variant=minbase --include="$container_packages" bookworm \
        "$container_cache.new" "${KEHRLUND_DEBIAN_MIRROR:-http://deb.debian.org/debian}" ||
        fail "debootstrap could not make the container's root folder"
    root_run mv "$container_cache.new" "$container_cache"
    # shellcheck disable=SC2016 # expanded by the inner shell
    root_run sh -c 'echo "$1" >"$2"' sh "$container_packages" "$stamp"
}

# The container's init: the process below systemd-nspawn that is PID 1 in its own namespace.
container_find_init() {
    local pid queue=("$container_nspawn") children
    while [ ${#queue[@]} -gt 0 ]; do
        pid=${queue[0]}
        queue=("${queue[@]:1}")
        if [ "$pid" != "$container_nspawn" ] &&
           grep -qE $'^NSpid:\t[0-9]+\t1$' "/proc/$pid/status" 2>/dev/null; then
            echo "$pid"
            return 0
        fi
        children=$(cat /proc/"$pid"/task/*/children 2>/dev/null) || continue
        read -r -a children <<<"$children"
        queue+=("${children[@]}")
    done
    return 1
}

container_boot() {
    container_dir=$(root_run mktemp -d /var/tmp/kehrlund-container.XXXXXX)
    root_run mkdir "$container_dir/upper" "$container_dir/work" "$container_dir/root"
    if ! root_run mount -t overlay overlay \
            -o "lowerdir=$container_cache,upperdir=$container_dir/upper,workdir=$container_dir/work" \
            "$container_dir/root" 2>/dev/null; then
        echo "container: no overlay file system here; copying the root folder"
        root_run cp -a "$container_cache/." "$container_dir/root/"
    fi
    # Not through root_run: $! must be systemd-nspawn itself (or sudo, which passes signals on),
    # not a subshell around it.
    "${as_root[@]}" systemd-nspawn --register=no --keep-unit --quiet --machine=kehrlund-test \
        --boot --directory="$container_dir/root" >"$container_dir.console" 2>&1 </dev/null &
    container_nspawn=$!
    local state
    for _ in $(seq 100); do
        container_init=$(container_find_init) && break
        [ -d "/proc/$container_nspawn" ] || break
        sleep 0.2
    done
    [ -n "$container_init" ] ||
        fail "container: systemd-nspawn did not start the container's init:"$'\n'"$(cat "$container_dir.console")"
    # Until its systemd listens on its bus, systemctl in the container prints nothing.
    for _ in $(seq 120); do
        state=$(timeout 120 "${as_root[@]}" nsenter -t "$container_init" -a \
                    systemctl is-system-running --wait 2>/dev/null) || true
        [ -z "$state" ] || break
        [ -d "/proc/$container_nspawn" ] || break
        sleep 0.5
    done
    case $state in
        running | degraded) echo "container: booted (PID $container_init on this machine), $state" ;;
        *) fail "container: system state \"$state\" after boot:"$'\n'"$(cat "$container_dir.console")" ;;
    esac
    [ "$state" = running ] || in_container systemctl --failed --no-pager
}

# Whether a process runs (a zombie does not).
running() {
    local state
    state=$(ps -o stat= -p "$1") || return 1
    [[ $state != Z* ]]
}

# Shuts the container down (SIGTERM makes systemd-nspawn power it off), waits until
# systemd-nspawn has ended, and only then removes the container's files. A container that does
# not stop in 30 s is killed: SIGKILL to its init ends every process in it.
container_stop() {
    if [ -n "$container_nspawn" ] && running "$container_nspawn"; then
        root_run kill -TERM "$container_nspawn" 2>/dev/null || true
        for _ in $(seq 150); do
            running "$container_nspawn" || break
            sleep 0.2
        done
        if running "$container_nspawn"; then
            echo "container: no shutdown after 30 s; killing it" >&2
            [ -z "$container_init" ] || root_run kill -KILL "$container_init" 2>/dev/null || true
            sleep 1
            root_run kill -KILL "$container_nspawn" 2>/dev/null || true
        fi
        wait "$container_nspawn" 2>/dev/null || true
    fi
    container_nspawn=
    container_init=
    if [ -n "$container_dir" ]; then
        if mountpoint -q "$container_dir/root"; then root_run umount "$container_dir/root"; fi
        root_run rm -rf "$container_dir" "$container_dir.console"
        container_dir=
    fi
}

container() {
    local debs
    debs=("$(realpath -m build-package)"/kehrlund_*.deb)
    [ -f "${debs[0]}" ] || fail "no package in build-package; run the step \"package\" first"
    if [ "$(id -u)" -ne 0 ] && ! sudo -n true 2>/dev/null; then
        container_unavailable "neither root nor sudo"
        return
    fi
    local tool
    for tool in debootstrap systemd-nspawn nsenter unshare; do
        # shellcheck disable=SC2016 # expanded by the inner shell
        root_run sh -c 'command -v "$1"' sh "$tool" >/dev/null || fail "container: no $tool"
    done
    if ! root_run unshare --mount --pid --uts --ipc --fork --mount-proc true 2>/dev/null; then
        container_unavailable "no right to create namespaces (unshare failed)"
        return
    fi
    container_root
    trap container_stop EXIT
    container_boot
    root_run cp "${debs[0]}" "$container_dir/root/root/kehrlund.deb"
    in_container dpkg -i /root/kehrlund.deb

    container_checks

    in_container dpkg --purge kehrlund
    ! root_run test -e "$container_dir/root/etc/systemd/system/timers.target.wants/kehrlund.timer" ||
        fail "container: the timer is still enabled after the package was purged"
    ! root_run test -e "$container_dir/root/etc/logrotate.d/kehrlund" ||
        fail "container: /etc/logrotate.d/kehrlund is still there after the package was purged"
    container_stop
    trap - EXIT
    echo "container: installed, service and timer tried under systemd, package purged"
}

container_checks() {
    local state output expected
    # Installed, neither enabled nor started.
    state=$(in_container systemctl is-enabled kehrlund.timer) || true
    [ "$state" = disabled ] || fail "container: kehrlund.timer is \"$state\" after install"
    state=$(in_container systemctl is-active kehrlund.timer) || true
    [ "$state" = inactive ] || fail "container: kehrlund.timer is \"$state\" after install"

    # Without a job file the service does nothing. (systemctl show -p ConditionResult cannot tell:
    # systemd forgets an inactive unit nothing refers to, and a fresh one reads "no" as well.)
    in_container systemctl start kehrlund.service
    in_container journalctl --sync
    output=$(in_container journalctl -u kehrlund.service -o cat)
    grep -qF 'skipped because of an unmet condition check (ConditionPathExists=/var/lib/kehrlund/eingabe_kehrlund.txt)' <<<"$output" ||
        fail "container: the service was not skipped without a job file:"$'\n'"$output"
    output=$(in_container journalctl SYSLOG_IDENTIFIER=kehrlund -o cat)
    [ -z "$output" ] || fail "container: the program ran without a job file:"$'\n'"$output"
    ! in_container test -e /var/lib/kehrlund/log_kehrlund.txt ||
        fail "container: a run log was written without a job file"
    echo "container: timer disabled after install; without a job file the service does nothing"

    # A job file and a drop-in for the folder it cleans; the clock 40 days on. One old file is
    # held open by another process: it stays, with Fehler 005.
    in_container sh -ec '
        install -d -m 0750 /var/lib/kehrlund
        printf "/srv/test\t*.log\t30\n" >/var/lib/kehrlund/eingabe_kehrlund.txt
        mkdir -p /srv/test/unten
        echo alt >/srv/test/alt.log
        echo alt >/srv/test/unten/auch-alt.log
        echo offen >/srv/test/offen.log
        echo bleibt >/srv/test/bleibt.txt
        mkdir -p /etc/systemd/system/kehrlund.service.d
        cat >/etc/systemd/system/kehrlund.service.d/test.conf <<END
[Service]
ReadWritePaths=/srv/test
Environment=LD_PRELOAD=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1 FAKETIME=+40d
END
        systemctl daemon-reload
        systemd-run --quiet --unit=kehrlund-test-holder -p StandardInput=file:/srv/test/offen.log sleep 600
        systemctl is-active --quiet kehrlund-test-holder.service'
    in_container systemctl start kehrlund.service
    in_container journalctl --sync
    output=$(in_container sh -c 'cd /srv/test && find . -type f | sort | tr "\n" " "')
    [ "$output" = './bleibt.txt ./offen.log ' ] ||
        fail "container: files left after the run: $output"

    output=$(in_container cat /var/lib/kehrlund/log_kehrlund.txt)
    expected='**************************
**************************
/srv/test/alt.log
/srv/test/unten/auch-alt.log
40 Tage
40 Tage
Fehler 005: Konnte Datei /srv/test/offen.log nicht löschen
Treffer gesamt: 3'
    { [ "$(sed -n 1p <<<"$output")" = '**************************' ] &&
        sed -n 2p <<<"$output" | grep -qE '^  [0-9]{2}\.[0-9]{2}\.[0-9]{4} / [0-9]{2}:[0-9]{2} Uhr$' &&
        [ "$(tail -n 1 <<<"$output")" = 'Treffer gesamt: 3' ] &&
        [ "$(sed 2d <<<"$output" | LC_ALL=C sort)" = "$(LC_ALL=C sort <<<"$expected")" ]; } ||
        fail "container: run log:"$'\n'"$output"
    echo "container: the service removed the old files, kept the held one, wrote its run log"

    # The journal: the Fehler lines alone at priority err (journald drops the blank at the end of
    # a line), every other line of the program at info. The order of the hits is the folder's.
    output=$(in_container journalctl -u kehrlund -p err -o cat)
    [ "$output" = '"Fehler 005: Konnte Datei " "/srv/test/offen.log" " nicht löschen"' ] ||
        fail "container: journalctl -u kehrlund -p err:"$'\n'"$output"
    output=$(in_container journalctl -u kehrlund -p info -o cat)
    grep -qxF '"Fehler 005: Konnte Datei " "/srv/test/offen.log" " nicht löschen"' <<<"$output" ||
        fail "container: journalctl -u kehrlund -p info lacks the Fehler line:"$'\n'"$output"
    output=$(in_container journalctl -u kehrlund -p info..info SYSLOG_IDENTIFIER=kehrlund -o cat |
             LC_ALL=C sort)
    expected=$(LC_ALL=C sort <<'END'
"Ordner: " "/srv/test"
""
"Treffer: " "alt.log"
"Alter in Tagen: " 40
"Treffer: " "auch-alt.log"
"Alter in Tagen: " 40
"Treffer: " "offen.log"
"Alter in Tagen: " 40
""
"Treffer gesamt: " 3
"Bitte druecken Sie eine Taste zum beenden..."
END
)
    [ "$output" = "$expected" ] ||
        fail "container: the program's lines at priority info:"$'\n'"$output"
    echo "container: journalctl -p err lists exactly the Fehler line, the other lines are at info"

    # The timer, enabled.
    in_container systemctl enable --now kehrlund.timer
    state=$(in_container systemctl is-active kehrlund.timer) || true
    [ "$state" = active ] || fail "container: kehrlund.timer is \"$state\" after enable --now"
    output=$(in_container systemctl list-timers --all --no-pager kehrlund.timer)
    echo "$output"
    grep -qE 'kehrlund\.timer +kehrlund\.service' <<<"$output" ||
        fail "container: systemctl list-timers does not list kehrlund.timer"

    # logrotate accepts the snippet; a forced rotation moves the log away, and the next run
    # writes a new one (the program accepts the file that logrotate created).
    output=$(in_container logrotate -d /etc/logrotate.d/kehrlund 2>&1) ||
        fail "container: logrotate -d /etc/logrotate.d/kehrlund:"$'\n'"$output"
    ! grep -qi 'error' <<<"$output" || fail "container: logrotate -d:"$'\n'"$output"
    in_container logrotate -f /etc/logrotate.d/kehrlund
    in_container sh -ec 'echo neu >/srv/test/neu.log'
    in_container systemctl start kehrlund.service
    output=$(in_container sh -c 'cd /var/lib/kehrlund && ls')
    [ "$output" = 'eingabe_kehrlund.txt
log_kehrlund.txt
log_kehrlund.txt.1' ] || fail "container: /var/lib/kehrlund after rotation: $output"
    in_container grep -qx 'Treffer gesamt: 3' /var/lib/kehrlund/log_kehrlund.txt.1 ||
        fail "container: the rotated log lacks the first run"
    output=$(in_container sh -c 'tail -n +4 /var/lib/kehrlund/log_kehrlund.txt | LC_ALL=C sort')
    [ "$output" = '/srv/test/neu.log
40 Tage
Fehler 005: Konnte Datei /srv/test/offen.log nicht löschen
Treffer gesamt: 2' ] || fail "container: run log after rotation:"$'\n'"$output"
    echo "container: timer listed once enabled; logrotate accepts the snippet and rotates the log"
}

# ---------------------------------------------------------------------------------------------
# The Windows build: cross-compiled with mingw-w64 against Qt Core for Windows, packed as a ZIP,
# and the unpacked ZIP run under Wine as a German Windows runs it (ANSI code page 1252).
windows_qt=${KEHRLUND_QT_WINDOWS:-/var/cache/kehrlund-qt-win/5.15.8}
windows_prefix=${KEHRLUND_WINEPREFIX:-/var/cache/kehrlund-wine/prefix}

windows() {
    windows_setup
    bash scripts/qt-windows.sh "$windows_qt"
    # The preset "windows"; the Qt for Windows of this run, wherever it is.
    cmake --preset windows -DCMAKE_PREFIX_PATH="$windows_qt"
    cmake --build --preset windows
    rm -rf build-windows/kehrlund-*.zip build-windows/unpacked
    (cd build-windows && cpack -G ZIP)
    local zips=(build-windows/kehrlund-*-win64.zip)
    [ -f "${zips[0]}" ] || fail "cpack made no ZIP in build-windows"
    unzip -l "${zips[0]}"
    mkdir build-windows/unpacked
    unzip -q "${zips[0]}" -d build-windows/unpacked
    local unpacked
    unpacked=$(find "$top/build-windows/unpacked" -name kehrlund.exe -printf '%h\n')
    [ -n "$unpacked" ] || fail "no kehrlund.exe in ${zips[0]}"

    # One wineserver for all runs: faster, and the share modes of one program's open files bind
    # the others. It and Wine's services are started here, without libfaketime: services started
    # by a program under faketime would keep faketime's pipe open, and faketime would wait for
    # them to end.
    export WINEPREFIX=$windows_prefix
    trap windows_stop_wine EXIT
    /usr/lib/wine/wineserver64 -p 2>/dev/null || echo "a wineserver already runs for $WINEPREFIX"
    tests/wine-run.sh "$unpacked/kehrlund.exe" --version
    windows_example "$unpacked"
    windows_tests "$unpacked/kehrlund.exe"
    windows_stop_wine
    trap - EXIT
}

windows_stop_wine() {
    WINEPREFIX=$windows_prefix /usr/lib/wine/wineserver64 -k 2>/dev/null || true
}

# mingw-w64 with POSIX threads, Wine, a German UTF-8 locale (Wine reads the Linux file names in
# the locale's encoding and takes the code page from its language) and an initialised prefix.
windows_setup() {
    for tool in gcc g++; do
        "${as_root[@]}" update-alternatives --set "x86_64-w64-mingw32-$tool" \
            "/usr/bin/x86_64-w64-mingw32-$tool-posix"
    done
    if ! locale -a | grep -qx 'de_DE.utf8'; then
        "${as_root[@]}" sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)/\1/' /etc/locale.gen
        grep -qx 'de_DE.UTF-8 UTF-8' /etc/locale.gen ||
            echo 'de_DE.UTF-8 UTF-8' | "${as_root[@]}" tee -a /etc/locale.gen >/dev/null
        "${as_root[@]}" locale-gen
    fi
    if [ ! -f "$windows_prefix/system.reg" ]; then
        "${as_root[@]}" mkdir -p "$windows_prefix"
        "${as_root[@]}" chown "$(id -u):$(id -g)" "$windows_prefix"
        # Without the .NET and HTML engines, whose installers would ask.
        WINEPREFIX=$windows_prefix WINEDLLOVERRIDES='mscoree,mshtml=' \
            tests/wine-run.sh wineboot -i
    fi
}

# The unpacked ZIP, started in a copy of its example working folder 40 days on: what a run on
# Linux writes, in the Windows form (CR LF, backslashes; nothing here is outside code page 1252).
windows_example() {
    local unpacked=$1 work expected left
    work=$(mktemp -d)
    cp -r "$unpacked/example/." "$work/"
    (cd "$work" && TZ=UTC NO_FAKE_STAT=1 faketime -f +40d "$top/tests/wine-run.sh" \
        "$unpacked/kehrlund.exe" </dev/null >"$work.out" 2>"$work.console") ||
        fail "kehrlund.exe exited with $?"
    [ ! -s "$work.out" ] || fail "kehrlund.exe wrote on standard output: $(cat "$work.out")"
    example_console | sed 's/$/\r/' >"$work.expected"
    cmp "$work.console" "$work.expected" ||
        fail "console of kehrlund.exe:"$'\n'"$(od -c "$work.console" | head -40)"
    example_log_body | sed 's#/#\\#g; s/$/\r/' >"$work.expected"
    tail -n +4 "$work/log_kehrlund.txt" | cmp - "$work.expected" ||
        fail "run log of kehrlund.exe:"$'\n'"$(od -c "$work/log_kehrlund.txt" | head -40)"
    head -n 3 "$work/log_kehrlund.txt" |
        grep -cE $'^(\\*{26}|  [0-9]{2}\\.[0-9]{2}\\.[0-9]{4} / [0-9]{2}:[0-9]{2} Uhr)\r$' |
        grep -qx 3 || fail "header of the run log: $(head -n 3 "$work/log_kehrlund.txt" | od -c)"
    left=$(cd "$work" && find . -type f | sort | tr '\n' ' ')
    [ "$left" = './daten/.versteckt.log ./daten/notiz.txt ./daten/unterordner/behalten.csv ./eingabe_kehrlund.txt ./log_kehrlund.txt ' ] ||
        fail "files left after the run of kehrlund.exe: $left"
    rm -rf "$work" "$work".*
    echo "kehrlund.exe from the ZIP: console, run log and remaining files as expected"
}

# The black-box tests whose rows mean something on Windows (those labelled windows-ok), built for
# Linux with the preset "plain" and run against kehrlund.exe under Wine; rows that cannot (FIFOs,
# links, Linux permissions) are skipped with their reasons. The tests of /proc, setpriv, chattr,
# mounts and signals are not run here. Of a test named in windows_functions only the test
# functions given there run.
declare -A windows_functions=([tst_options]=options)

# The tests of the plain build with the label $1: per line its name and its command, separated
# by tabs (no command while its executable is not built).
labelled_tests() {
    ctest --test-dir build --show-only=json-v1 -L "^$1\$" 2>/dev/null |
        perl -MJSON::PP -0777 -ne '
            print join("\t", $_->{name}, @{$_->{command} // []}), "\n"
                for @{decode_json($_)->{tests}};'
}

windows_tests() {
    local exe=$1 names test ran=0
    cmake --preset plain
    # A test's name is the name of its executable's target (kehrlund_test in tests/CMakeLists.txt).
    names=$(labelled_tests windows-ok | cut -f1)
    [ -n "$names" ] || fail "no test is labelled windows-ok"
    # shellcheck disable=SC2086 # one target per name
    cmake --build --preset plain --target $names
    while IFS=$'\t' read -r -a test; do
        [ ${#test[@]} -gt 1 ] || fail "no executable for the test ${test[0]}"
        echo "under Wine: ${test[*]:1} ${windows_functions[${test[0]}]:-}"
        # shellcheck disable=SC2086 # the functions a test runs
        KEHRLUND_WINDOWS="$top/tests/wine-run.sh" KEHRLUND_UNDER_TEST="$exe" \
        KEHRLUND_HOLDER="$top/build-windows/kehrlund_holdopen.exe" \
            "${test[@]:1}" ${windows_functions[${test[0]}]:-} || fail "under Wine: ${test[0]}"
        ran=$((ran + 1))
    done < <(labelled_tests windows-ok)
    [ "$ran" -eq "$(wc -l <<<"$names")" ] || fail "under Wine: ran $ran of the tests $names"
}

# ---------------------------------------------------------------------------------------------
all_steps=(plain sanitize plainwalk manual package installed container windows)
# The groups of scripts/install-deps.sh that each step needs.
declare -A step_groups=([plain]="build test" [sanitize]="build test" [plainwalk]="build test"
                        [manual]="build manual" [package]="build package"
                        [installed]="build package" [container]="container"
                        [windows]="build windows")
steps=("${all_steps[@]}")
[ $# -eq 0 ] || steps=("$@")
for step in "${steps[@]}"; do
    if ! declare -F "$step" >/dev/null || [ -z "${step_groups[$step]:-}" ]; then
        fail "no step \"$step\"; steps: ${all_steps[*]}"
    fi
done
[ -z "${KEHRLUND_BUILD:-}" ] ||
    fail "KEHRLUND_BUILD is no longer read: the build folders are those of CMakePresets.json (see README.md, Set-up)"
# libfaketime names its shared memory after the process; what a faketime killed earlier left
# behind would make a later one with the same process number fail ("sem_open: File exists").
for stale in /dev/shm/faketime_shm_* /dev/shm/sem.faketime_sem_*; do
    [ -e "$stale" ] || continue
    kill -0 "${stale##*_}" 2>/dev/null || "${as_root[@]}" rm -f "$stale"
done
timings=()
for step in "${steps[@]}"; do
    printf '\n==== %s ====\n' "$step"
    started=$SECONDS
    # shellcheck disable=SC2086 # one argument per group
    bash scripts/install-deps.sh ${step_groups[$step]}
    "$step"
    timings+=("$step $((SECONDS - started))s")
done
summary=$(printf '%s, ' "${timings[@]}")
if [ ${#skipped[@]} -gt 0 ]; then
    printf '\n==== steps passed (%s); SKIPPED: %s ====\n' "${summary%, }" "${skipped[*]}"
else
    printf '\n==== all steps passed (%s) ====\n' "${summary%, }"
fi
