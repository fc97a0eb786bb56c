#!/usr/bin/env bash
# The Windows build, checked on Debian: cross-compiles the program with mingw-w64 against Qt
# Core for Windows (built once and cached by scripts/qt-windows.sh), packs the ZIP, unpacks it,
# runs it under Wine on the example working folder as a German Windows runs it (ANSI code page
# 1252), and runs the black-box tests labelled windows-ok against it: the test preset "windows"
# of CMakePresets.json, with the Linux builds of the tests (preset "plain").
#
#   bash packaging/windows/check-windows.sh
#
# KEHRLUND_QT_WINDOWS (default /var/cache/kehrlund-qt-win/5.15.8) is where Qt for Windows is
# cached, KEHRLUND_WINEPREFIX (default /var/cache/kehrlund-wine/prefix) Wine's prefix. The ZIP's
# one folder is unpacked as build-windows/unpacked, where the test preset looks for
# kehrlund.exe. Installs what it needs first (scripts/install-deps.sh build windows). The step
# "windows" of scripts/test.sh.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=../../scripts/lib.sh
source "$(dirname "$0")/../../scripts/lib.sh"
# shellcheck source-path=SCRIPTDIR source=../example-expected.sh
source "$(dirname "$0")/../example-expected.sh"
cd "$top"
bash scripts/install-deps.sh build windows
clear_stale_faketime

windows_qt=${KEHRLUND_QT_WINDOWS:-/var/cache/kehrlund-qt-win/5.15.8}
export WINEPREFIX=${KEHRLUND_WINEPREFIX:-/var/cache/kehrlund-wine/prefix}
wineserver=/usr/lib/wine/wineserver64

# mingw-w64 with POSIX threads, Wine, a German UTF-8 locale (Wine reads the Linux file names in
# the locale's encoding and takes the code page from its language) and an initialised prefix.
windows_setup() {
    local tool
    for tool in gcc g++; do
        root_run update-alternatives --set "x86_64-w64-mingw32-$tool" \
            "/usr/bin/x86_64-w64-mingw32-$tool-posix"
    done
    if ! locale -a | grep -qx 'de_DE.utf8'; then
        root_run sed -i 's/^# *\(de_DE.UTF-8 UTF-8\)/\1/' /etc/locale.gen
        grep -qx 'de_DE.UTF-8 UTF-8' /etc/locale.gen ||
            echo 'de_DE.UTF-8 UTF-8' | root_run tee -a /etc/locale.gen >/dev/null
        root_run locale-gen
    fi
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        root_run mkdir -p "$WINEPREFIX"
        root_run chown "$(id -u):$(id -g)" "$WINEPREFIX"
        # Without the .NET and HTML engines, whose installers would ask.
        WINEDLLOVERRIDES='mscoree,mshtml=' tests/wine-run.sh wineboot -i
    fi
}

# One wineserver for every run of the step: faster, and the share modes of one program's open
# files bind the others. A wineserver that is not persistent ends a few seconds after its last
# client, and the next program then starts a new one, and Wine's services with it, from inside
# a test: under libfaketime, with that test's environment and working folder, and racing the
# old server's shutdown. So whatever server runs for the prefix (one that "wineboot -i" left,
# or one of an interrupted earlier run) is ended first, and this one is started without
# libfaketime: services started by a program under faketime would keep faketime's pipe open,
# and faketime would wait for them to end.
start_wine() {
    stop_wine
    "$wineserver" -p || fail "could not start a persistent wineserver for $WINEPREFIX"
    trap stop_wine EXIT
}

# Ends the wineserver and every Wine process of the prefix, and waits until it has gone, so
# that nothing of this step is left running. (The ceiling only catches a hang.)
stop_wine() {
    "$wineserver" -k 2>/dev/null || true
    timeout 300 "$wineserver" -w || fail "the wineserver for $WINEPREFIX did not end"
}

# The unpacked ZIP, started in a copy of its example working folder 40 days on: what a run on
# Linux writes, in the Windows form (CR LF, backslashes; nothing here is outside code page 1252).
windows_example() {
    local unpacked=$1 work left
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
    [ "$left" = "$example_left" ] || fail "files left after the run of kehrlund.exe: $left"
    rm -rf "$work" "$work".*
    echo "kehrlund.exe from the ZIP: console, run log and remaining files as expected"
}

windows_setup
bash scripts/qt-windows.sh "$windows_qt"
# The preset "windows"; the Qt for Windows of this run, wherever it is.
cmake --preset windows -DCMAKE_PREFIX_PATH="$windows_qt"
cmake --build --preset windows
rm -rf build-windows/kehrlund-*.zip build-windows/unpacked build-windows/unzipped
(cd build-windows && cpack -G ZIP)
zips=(build-windows/kehrlund-*-win64.zip)
[ -f "${zips[0]}" ] || fail "cpack made no ZIP in build-windows"
unzip -l "${zips[0]}"
# The ZIP holds one folder, named after the version; unpacked under a fixed name, so that the
# test preset finds it.
mkdir build-windows/unzipped
unzip -q "${zips[0]}" -d build-windows/unzipped
folders=(build-windows/unzipped/*)
if [ ${#folders[@]} -ne 1 ] || [ ! -f "${folders[0]}/kehrlund.exe" ]; then
    fail "${zips[0]} holds not one folder with kehrlund.exe: $(ls build-windows/unzipped)"
fi
mv "${folders[0]}" build-windows/unpacked
rmdir build-windows/unzipped

# The tests, built for Linux; those the test preset "windows" picks by their label.
cmake --preset plain
# (ctest also complains of every executable not built yet.)
listing=$(ctest --preset windows --show-only 2>&1) || fail "ctest --preset windows:"$'\n'"$listing"
names=$(sed -n 's/^ *Test *#[0-9]*: //p' <<<"$listing")
[ -n "$names" ] || fail "no test is labelled windows-ok:"$'\n'"$listing"
# shellcheck disable=SC2086 # one target per name (a test is named after its executable's target)
cmake --build --preset plain --target $names

start_wine
tests/wine-run.sh "$top/build-windows/unpacked/kehrlund.exe" --version
windows_example "$top/build-windows/unpacked"
# Rows that cannot mean on Windows what they mean on Linux skip themselves, with their reasons.
ctest --preset windows
stop_wine
trap - EXIT
echo "windows: the ZIP's kehrlund.exe passed the example run and the tests labelled windows-ok under Wine"
