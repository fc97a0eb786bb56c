#!/usr/bin/env bash
# Installs what is missing, builds Kehrlund twice (plain, and with AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs every test in both builds.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build build -j"$jobs"
(cd build && ctest --output-on-failure)

cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=Debug -DKEHRLUND_SANITIZE=ON \
      -DCMAKE_COMPILE_WARNING_AS_ERROR=ON
cmake --build build-sanitize -j"$jobs"
(cd build-sanitize && ctest --output-on-failure)
