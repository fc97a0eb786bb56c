#!/usr/bin/env bash
# Installs what building, testing and packaging Kehrlund needs on Debian 12, group by group,
# without recommended packages:
#
#   bash scripts/install-deps.sh GROUP...     the groups named
#   bash scripts/install-deps.sh              every group
#
#   build      compiler, CMake, Qt Core and Qt Test, libfaketime: enough for scripts/example.sh
#   test       what the tests start, beyond what every Debian has (debootstrap --variant=minbase):
#              strace (faults injected into system calls), mkfs.ext4, debugfs and chattr
#              (e2fsprogs), mount, setpriv and prlimit (util-linux), clang with libFuzzer,
#              valgrind (memcheck), and the manual page's tools; faketime is in "build"
#   manual     man-db and groff, to render and check the manual page
#   package    building and checking the Debian package (dpkg-buildpackage, debhelper, lintian),
#              and trying it out installed (systemd-analyze, strace)
#   container  booting a minimal Debian with systemd-nspawn for the package (and ps, to see
#              whether it still runs)
#   windows    the mingw-w64 compilers with POSIX threads, Wine, locales and unzip
#   bench      what bench/ measures with (hyperfine, GNU time)
#
# scripts/test.sh asks each of its steps' groups, the checks under packaging/ their own. Runs
# apt-get only for packages that are missing; uses sudo when not run as root.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"
declare -A groups=(
    [build]="build-essential cmake qtbase5-dev faketime"
    [test]="strace e2fsprogs util-linux mount clang libclang-rt-14-dev valgrind man-db groff-base"
    [manual]="man-db groff-base"
    [package]="lintian dpkg-dev debhelper file systemd strace"
    [container]="debootstrap systemd-container systemd procps"
    [windows]="g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine wine64 locales unzip"
    [bench]="hyperfine time"
)
order=(build test manual package container windows bench)
[ $# -gt 0 ] || set -- "${order[@]}"
packages=()
for group in "$@"; do
    if [ -z "${groups[$group]:-}" ]; then
        echo "install-deps.sh: no group \"$group\"; groups: ${order[*]}" >&2
        exit 2
    fi
    read -r -a members <<<"${groups[$group]}"
    packages+=("${members[@]}")
done
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
# Each package once, in the order asked.
read -r -a missing <<<"$(printf '%s\n' "${missing[@]}" | awk '!seen[$0]++' | tr '\n' ' ')"
echo "install-deps.sh ($*): installing ${missing[*]}"
"${apt_get[@]}" -qq update
"${apt_get[@]}" -qq install -y --no-install-recommends "${missing[@]}"
