#!/usr/bin/env bash
# Installs what is missing, builds Kehrlund and checks it, step by step:
#   plain     build and run every test
#   sanitize  build with AddressSanitizer and UndefinedBehaviorSanitizer, run every test
#   plainwalk build with the walk by path (systems without folder handles), run its tests
#   manual    render the manual page kehrlund(1): no warnings, every program message documented
#   package   build the Debian package with Debian's compiler flags; lintian finds no errors
#   installed install the package with apt-get, run the installed program on a copy of the
#             example working folder, check the systemd units and the cron line against it,
#             remove the package again
#   windows   cross-build the Windows program with mingw-w64 (Qt for Windows is built once and
#             cached by scripts/qt-windows.sh), make its ZIP, unpack it, run it under Wine on
#             the example working folder and run the black-box tests against it under Wine
#
#   bash scripts/test.sh              every step, in this order
#   bash scripts/test.sh manual ...   only the steps named
#
# KEHRLUND_BUILD (default "build") is the build folder; the other steps use it with a suffix
# (build-sanitize, build-package, build-windows). Works as root or as a user with sudo.
# KEHRLUND_QT_WINDOWS (default /var/cache/kehrlund-qt-win/5.15.8) is where Qt for Windows is
# cached, KEHRLUND_WINEPREFIX (default /var/cache/kehrlund-wine/prefix) Wine's prefix.
# To add a step: write a function below and add its name to the list "steps" at the end.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
build=${KEHRLUND_BUILD:-build}
jobs=$(nproc)
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
apt_get=("${as_root[@]}" apt-get -q -o Dpkg::Use-Pty=0) # no progress bars in the CI log

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

# ---------------------------------------------------------------------------------------------
plain() {
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
    cmake --build "$build" -j"$jobs"
    (cd "$build" && ctest --output-on-failure)
}

# ---------------------------------------------------------------------------------------------
sanitize() {
    cmake -S . -B "$build-sanitize" -DCMAKE_BUILD_TYPE=Debug -DKEHRLUND_SANITIZE=ON \
          -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
    cmake --build "$build-sanitize" -j"$jobs"
    (cd "$build-sanitize" && ctest --output-on-failure)
}

# ---------------------------------------------------------------------------------------------
# The walk by path through Qt alone, as systems without folder handles use it: the same
# behaviour, so the same tests (the attacks that only folder handles withstand left out).
plainwalk() {
    cmake -S . -B "$build-plainwalk" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKEHRLUND_WALK_BY_PATHS=ON \
          -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
    cmake --build "$build-plainwalk" -j"$jobs"
    (cd "$build-plainwalk" && ctest --output-on-failure -R '^tst_(jobfile|sweep|units|openfiles|agerule|options)$')
}

# ---------------------------------------------------------------------------------------------
# The manual page renders without a single warning, and it and the README name every fixed
# text that the program writes (the literals it passes through tr() and translate()).
manual() {
    local warnings
    warnings=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
               man --warnings -E UTF-8 -l packaging/kehrlund.1 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man --warnings on packaging/kehrlund.1:"$'\n'"$warnings"

    local rendered texts text missing=0
    # Wide enough that no message is broken across lines.
    rendered=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=400 man -E UTF-8 -l packaging/kehrlund.1)
    # Adjacent string literals are joined, as the compiler joins them.
    texts=$(perl -0777 -ne '
        while (/\b(?:tr|translate)\(\s*(?:"[^"]*"\s*,\s*)?((?:"[^"]*"\s*)+)\)/g) {
            (my $text = $1) =~ s/"\s*"//g;
            $text =~ s/^"|"\s*$//g;
            print "$text\n" if length $text;
        }' src/*.cpp | sort -u)
    local number
    for number in 001 002 003 004 005 006 007; do
        grep -q "^Fehler $number: " <<<"$texts" || fail "found no text of Fehler $number in src/"
    done
    while IFS= read -r text; do
        grep -qF -- "$text" <<<"$rendered" || { echo "kehrlund(1) lacks: \"$text\""; missing=1; }
        grep -qF -- "$text" README.md || { echo "README.md lacks: \"$text\""; missing=1; }
    done <<<"$texts"
    [ $missing -eq 0 ] || fail "texts of the program missing from the documentation"
    echo "kehrlund(1): no warnings; $(wc -l <<<"$texts") program texts documented"
}

# ---------------------------------------------------------------------------------------------
# The .deb, built like a Debian package: compiler and linker flags from dpkg-buildflags (with
# every hardening feature), no CMake build type of its own.
package() {
    local flags=(env DEB_BUILD_MAINT_OPTIONS=hardening=+all dpkg-buildflags --get)
    CXXFLAGS="$("${flags[@]}" CXXFLAGS) $("${flags[@]}" CPPFLAGS)" \
    LDFLAGS="$("${flags[@]}" LDFLAGS)" \
        cmake -S . -B "$build-package" -DCMAKE_BUILD_TYPE=None -DKEHRLUND_TESTS=OFF \
              -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
    cmake --build "$build-package" -j"$jobs"
    rm -f "$build-package"/kehrlund_*.deb
    (cd "$build-package" && cpack -G DEB)
    dpkg-deb --info "$build-package"/kehrlund_*.deb
    dpkg-deb --contents "$build-package"/kehrlund_*.deb
    # Fails on errors only; warnings, notes and pedantic tags are listed (overridden ones, with
    # their reasons, are in packaging/lintian-overrides).
    lintian --fail-on error --display-info --pedantic "$build-package"/kehrlund_*.deb
    echo "lintian: no errors"
}

# ---------------------------------------------------------------------------------------------
remove_package() {
    if dpkg-query -W -f='${Status}' kehrlund 2>/dev/null | grep -q ' installed$'; then
        "${apt_get[@]}" remove -y kehrlund
    fi
}

installed() {
    local debs=("$top/$build-package"/kehrlund_*.deb)
    [ -f "${debs[0]}" ] || fail "no package in $build-package; run the step \"package\" first"
    remove_package # left over from an earlier, interrupted run
    trap remove_package EXIT
    "${apt_get[@]}" install -y "${debs[0]}"
    [ -x /usr/bin/kehrlund ] || fail "/usr/bin/kehrlund is not installed"

    installed_run
    installed_units
    installed_cron

    "${apt_get[@]}" remove -y kehrlund
    trap - EXIT
    [ ! -e /usr/bin/kehrlund ] || fail "/usr/bin/kehrlund is still there after removal"
    ! dpkg-query -W -f='${Status}\n' kehrlund 2>/dev/null | grep -q ' installed$\| config-files$' ||
        fail "dpkg still lists kehrlund: $(dpkg-query -W -f='${Status}' kehrlund)"
    echo "package installed, used and removed cleanly"
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

# The systemd units, checked against the installed program (and its manual page, which
# Documentation= names, unless dpkg is set to leave manual pages out). systemd-analyze needs no
# running systemd; any message it prints counts as a failure. Then every system call of a run
# of the installed program must pass the service's SystemCallFilter=.
installed_units() {
    local units report work man_check=()
    units=$(mktemp -d)
    cp packaging/kehrlund.service packaging/kehrlund.timer "$units/"
    man -w kehrlund >/dev/null 2>&1 || man_check=(--man=no)
    report=$(systemd-analyze verify "${man_check[@]}" "$units/kehrlund.service" \
             "$units/kehrlund.timer" 2>&1) || fail "systemd-analyze verify:"$'\n'"$report"
    [ -z "$report" ] || fail "systemd-analyze verify:"$'\n'"$report"
    echo "systemd-analyze verify: no findings"
    systemd-analyze security --offline=true --no-pager "$units/kehrlund.service" | tail -n 1
    rm -rf "$units"
    work=$(example_copy)
    TZ=UTC bash packaging/check-syscalls.sh packaging/kehrlund.service "$work" \
        faketime -f +40d /usr/bin/kehrlund
    rm -rf "$work"
}

# The cron line's command, run in a copy of the example working folder with the system log
# replaced by a file. Its standard input stays open for longer than the time allowed, so only the
# line's own "< /dev/null" lets the closing prompt return in time.
installed_cron() {
    local command work
    command=$(grep -E '^[0-9*]' packaging/kehrlund.cron | cut -d' ' -f7-)
    work=$(example_copy)
    command=${command//\/var\/lib\/kehrlund/$work}
    command=${command//\/usr\/bin\/logger -t kehrlund/cat >\"$work.syslog\"}
    timeout 20 sh -c "$command" < <(sleep 30) || fail "cron command did not finish: $command"
    grep -qx '"Treffer gesamt: " 0 ' "$work.syslog" || fail "cron command wrote no run"
    [ -f "$work/log_kehrlund.txt" ] || fail "cron command left no run log"
    rm -rf "$work" "$work.syslog"
    echo "cron line: runs in its folder and returns at once"
}

# ---------------------------------------------------------------------------------------------
# The Windows build: cross-compiled with mingw-w64 against Qt Core for Windows, packed as a ZIP,
# and the unpacked ZIP run under Wine as a German Windows runs it (ANSI code page 1252).
windows_qt=${KEHRLUND_QT_WINDOWS:-/var/cache/kehrlund-qt-win/5.15.8}
windows_prefix=${KEHRLUND_WINEPREFIX:-/var/cache/kehrlund-wine/prefix}

windows() {
    windows_setup
    bash scripts/qt-windows.sh "$windows_qt"
    cmake -S . -B "$build-windows" -DCMAKE_TOOLCHAIN_FILE=packaging/windows/toolchain-mingw64.cmake \
          -DCMAKE_PREFIX_PATH="$windows_qt" -DCMAKE_BUILD_TYPE=Release -DKEHRLUND_TESTS=OFF \
          -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
    cmake --build "$build-windows" -j"$jobs"
    rm -rf "$build-windows"/kehrlund-*.zip "$build-windows/unpacked"
    (cd "$build-windows" && cpack -G ZIP)
    local zips=("$build-windows"/kehrlund-*-win64.zip)
    [ -f "${zips[0]}" ] || fail "cpack made no ZIP in $build-windows"
    unzip -l "${zips[0]}"
    mkdir "$build-windows/unpacked"
    unzip -q "${zips[0]}" -d "$build-windows/unpacked"
    local unpacked
    unpacked=$(find "$top/$build-windows/unpacked" -name kehrlund.exe -printf '%h\n')
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

# The black-box tests whose rows mean something on Windows, built for Linux and run against
# kehrlund.exe under Wine; rows that cannot (FIFOs, links, Linux permissions) are skipped with
# their reasons. The tests of /proc, setpriv, chattr, mounts and signals are not run here.
windows_tests() {
    local exe=$1
    cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
    cmake --build "$build" -j"$jobs" --target tst_jobfile tst_sweep tst_options
    local test
    for test in "tst_jobfile" "tst_sweep" "tst_options options"; do
        # shellcheck disable=SC2086 # a test and the functions it runs
        KEHRLUND_WINDOWS="$top/tests/wine-run.sh" KEHRLUND_UNDER_TEST="$exe" \
        KEHRLUND_HOLDER="$top/$build-windows/kehrlund_holdopen.exe" \
            "$build/tests/"$test || fail "under Wine: $test"
    done
}

# ---------------------------------------------------------------------------------------------
all_steps=(plain sanitize plainwalk manual package installed windows)
steps=("${all_steps[@]}")
[ $# -eq 0 ] || steps=("$@")
for step in "${steps[@]}"; do
    declare -F "$step" >/dev/null || fail "no step \"$step\"; steps: ${all_steps[*]}"
done
bash scripts/install-deps.sh
timings=()
for step in "${steps[@]}"; do
    printf '\n==== %s ====\n' "$step"
    started=$SECONDS
    "$step"
    timings+=("$step $((SECONDS - started))s")
done
summary=$(printf '%s, ' "${timings[@]}")
printf '\n==== all steps passed (%s) ====\n' "${summary%, }"
