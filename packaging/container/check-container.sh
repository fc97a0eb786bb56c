#!/usr/bin/env bash
# The package under a real systemd: boots a minimal Debian 12 with systemd-nspawn (no systemd
# needed on this machine), installs build-package/kehrlund_*.deb (made by
# packaging/check-package.sh) there and tries out its service, timer and logrotate snippet.
#
#   bash packaging/container/check-container.sh
#
# The root folder from debootstrap is kept in $KEHRLUND_CONTAINER_CACHE (default
# /var/cache/kehrlund-test/bookworm-root, outside the checkout; KEHRLUND_DEBIAN_MIRROR names
# the mirror it comes from) and used read-only: every run boots an overlay of it (or, where
# overlays are refused, a copy), so each run starts clean. Needs root (or sudo) and the right to
# create namespaces; where the machine cannot boot a container, it says so and exits with 77
# (skipped), and under CI=true it fails. Installs what it needs first (scripts/install-deps.sh
# container). The step "container" of scripts/test.sh.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=../../scripts/lib.sh
source "$(dirname "$0")/../../scripts/lib.sh"
cd "$top"
bash scripts/install-deps.sh container

container_cache=${KEHRLUND_CONTAINER_CACHE:-/var/cache/kehrlund-test/bookworm-root}
container_packages=systemd,systemd-sysv,dbus,libqt5core5a,logrotate,faketime
container_dir=
container_nspawn=
container_init=

# A command in the running container, with a plain environment.
in_container() {
    root_run nsenter -t "$container_init" -a \
        env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin LC_ALL=C.UTF-8 "$@"
}

container_unavailable() {
    [ -z "${CI:-}" ] || fail "container: this machine cannot boot a container: $*"
    echo "SKIPPED: container: this machine cannot boot a container: $*" >&2
    echo "SKIPPED: (under CI=true this is a failure)" >&2
    exit "$skipped_status"
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

debs=("$top/build-package"/kehrlund_*.deb)
[ -f "${debs[0]}" ] ||
    fail "no package in build-package; run packaging/check-package.sh (the step \"package\") first"
if [ "$(id -u)" -ne 0 ] && ! sudo -n true 2>/dev/null; then
    container_unavailable "neither root nor sudo"
fi
for tool in debootstrap systemd-nspawn nsenter unshare; do
    # shellcheck disable=SC2016 # expanded by the inner shell
    root_run sh -c 'command -v "$1"' sh "$tool" >/dev/null || fail "container: no $tool"
done
if ! root_run unshare --mount --pid --uts --ipc --fork --mount-proc true 2>/dev/null; then
    container_unavailable "no right to create namespaces (unshare failed)"
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
