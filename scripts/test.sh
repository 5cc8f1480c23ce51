#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake -S . -B build -G Ninja -DCHIPWRIGHT_BUILD_TESTS=ON -DCHIPWRIGHT_BUILD_BENCH=ON
cmake --build build
ctest --test-dir build --output-on-failure -j2
