#!/usr/bin/env bash
# Installs what is missing to build (the group "build" of scripts/install-deps.sh: compiler, CMake,
# Qt, libfaketime), builds Kehrlund with the preset "plain" (the program alone, in build/) and runs
# it on the example working folder: once with the real clock (nothing is old yet), once with the
# clock moved 40 days on (the old files go). Works on a copy, so the shipped example stays as it is.
set -euo pipefail
cd "$(dirname "$0")/.."
top=$(pwd)
bash scripts/install-deps.sh build
cmake --preset plain
cmake --build --preset plain --target kehrlund -j"${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
program=$top/build/kehrlund
work=$(mktemp -d)
cp -r example/. "$work"
cd "$work"
echo "== Arbeitsordner $work"
find . -type f | sort
echo "== eingabe_kehrlund.txt (Tabulatoren als <TAB>)"
sed 's/\t/<TAB>/g' eingabe_kehrlund.txt
echo "== Lauf heute"
"$program" </dev/null
echo "== Lauf in 40 Tagen"
faketime -f +40d "$program" </dev/null
echo "== log_kehrlund.txt"
cat log_kehrlund.txt
echo "== Übrig im Arbeitsordner"
find . -type f | sort
