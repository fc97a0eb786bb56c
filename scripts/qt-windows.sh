#!/usr/bin/env bash
# Builds Qt Core 5.15.8 for 64-bit Windows with mingw-w64 on Debian 12, from Debian's own source
# package qtbase-opensource-src, and installs it into a cache folder outside the checkout:
#
#   bash scripts/qt-windows.sh [PREFIX]     default /var/cache/kehrlund-qt-win/5.15.8
#
# A stamp file in PREFIX records the configure line; when it is there and matches, the script
# does nothing, so only the first run pays for the build (about 7 minutes on 2 cores). The tools
# (moc, rcc, ...) come out as Linux programs; Qt's CMake files under PREFIX/lib/cmake find them.
# The source package is fetched with a private apt configuration that adds deb-src; the
# machine's own apt sources and package lists stay as they are. Works as root or with sudo.
# KEHRLUND_JOBS sets the parallel jobs of make (default 2).
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=lib.sh
source "$(dirname "$0")/lib.sh"
version=5.15.8
prefix=${1:-/var/cache/kehrlund-qt-win/$version}
jobs=${KEHRLUND_JOBS:-2}
stamp=$prefix/kehrlund-qt.stamp

options=(-xplatform win32-g++ -device-option CROSS_COMPILE=x86_64-w64-mingw32- -opensource
         -confirm-license -release -prefix "$prefix" -nomake examples -nomake tests -no-gui
         -no-widgets -no-opengl -no-dbus -no-openssl -no-icu -qt-pcre -qt-zlib
         -no-feature-network -no-feature-sql -no-feature-xml -no-feature-testlib
         -no-feature-concurrent)
wanted="qtbase $version: ${options[*]}"

if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$wanted" ]; then
    echo "Qt $version for Windows: cached in $prefix"
    exit 0
fi

# The compilers with POSIX threads (std::thread, and the runtime DLLs the program ships with).
packages=(g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix dpkg-dev build-essential)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed' ||
        missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
    "${apt_get[@]}" -qq update
    "${apt_get[@]}" -qq install -y --no-install-recommends "${missing[@]}"
fi
for tool in gcc g++; do
    root_run update-alternatives --set "x86_64-w64-mingw32-$tool" \
        "/usr/bin/x86_64-w64-mingw32-$tool-posix"
done

root_run mkdir -p "$prefix"
root_run chown "$(id -u):$(id -g)" "$prefix"
work=$(mktemp -d "${TMPDIR:-/var/tmp}/kehrlund-qt-win.XXXXXX")
trap 'rm -rf "$work"' EXIT

# apt with deb-src, all of its state in $work.
mkdir -p "$work/apt/sources" "$work/apt/lists/partial" "$work/apt/archives/partial"
sed 's/^Types: deb$/Types: deb deb-src/' /etc/apt/sources.list.d/debian.sources \
    >"$work/apt/sources/debian.sources"
apt_private=(-o Dir::Etc::SourceParts="$work/apt/sources" -o Dir::Etc::SourceList=/dev/null
             -o Dir::State::Lists="$work/apt/lists" -o Dir::Cache::Archives="$work/apt/archives"
             -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= -o APT::Sandbox::User=root
             -o Dpkg::Use-Pty=0)
apt-get -qq "${apt_private[@]}" update
(cd "$work" && apt-get -q "${apt_private[@]}" source qtbase-opensource-src)
source_dir=$(find "$work" -maxdepth 1 -type d -name "qtbase-opensource-src-$version*" | head -n 1)
[ -n "$source_dir" ] || fail "no qtbase-opensource-src $version source in $work"

cd "$source_dir"
./configure "${options[@]}"
make -j"$jobs"
make install
echo "$wanted" >"$stamp"
echo "Qt $version for Windows: built and installed into $prefix ($(du -sh "$prefix" | cut -f1))"
