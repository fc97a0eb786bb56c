#!/usr/bin/env bash
# Installs what is missing, builds Kehrlund and runs it on the example working folder: once with
# the real clock (nothing is old yet), once with the clock moved 40 days on (the old files go).
# Works on a copy, so the shipped example stays as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j"$(nproc)"
work=$(mktemp -d)
cp -r example/. "$work"
cd "$work"
echo "== Lauf heute, in $work"
"$OLDPWD/build/kehrlund" </dev/null
echo "== Lauf in 40 Tagen"
faketime -f +40d "$OLDPWD/build/kehrlund" </dev/null
echo "== log_kehrlund.txt"
cat log_kehrlund.txt
