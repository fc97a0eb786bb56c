#!/usr/bin/env bash
# Builds the Debian packages from debian/ with dpkg-buildpackage and debhelper and checks them:
# the files debhelper installs are in the package, and lintian, pedantic, finds no error and no
# warning (the overridden tags, each with its reason, are in debian/kehrlund.lintian-overrides).
#
#   bash packaging/check-package.sh
#
# dpkg-buildpackage writes its results next to the source folder and its build files into it,
# so it builds a copy of the source in build-package/source; the .deb files, .buildinfo and
# .changes land in build-package/, where packaging/check-installed.sh and
# packaging/container/check-container.sh take the package from. Installs what it needs first
# (scripts/install-deps.sh build package). The step "package" of scripts/test.sh.
set -euo pipefail
# shellcheck source-path=SCRIPTDIR source=../scripts/lib.sh
source "$(dirname "$0")/../scripts/lib.sh"
cd "$top"
bash scripts/install-deps.sh build package

out=$top/build-package
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
lintian --pedantic --display-info --fail-on error,warning "$out"/kehrlund_*.changes
echo "lintian --pedantic: no errors, no warnings"
