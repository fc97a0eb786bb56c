#!/usr/bin/env bash
# Installs what building, testing and packaging Kehrlund needs on Debian 12, without recommended
# packages (lintian, dpkg-dev, debhelper, man-db, groff-base, systemd and strace are for the package
# checks; debootstrap and systemd-container boot the package in a container; mingw-w64, Wine,
# locales and unzip are for the Windows build and its tests).
# Runs apt-get only for packages that are missing; uses sudo when not run as root.
set -euo pipefail
packages=(build-essential cmake qtbase5-dev faketime e2fsprogs util-linux
          clang libclang-rt-14-dev hyperfine time valgrind lintian dpkg-dev file man-db groff-base
          systemd strace debhelper debootstrap systemd-container
          g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix wine wine64 locales unzip)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${as_root[@]}" apt-get update -qq
"${as_root[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
