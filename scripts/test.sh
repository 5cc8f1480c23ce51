#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds everything and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
# Warnings stay warnings here; CI sets CHIPWRIGHT_WERROR=ON to make them errors.
cmake -S . -B build -G Ninja -DCHIPWRIGHT_BUILD_TESTS=ON -DCHIPWRIGHT_BUILD_BENCH=ON \
  -DCHIPWRIGHT_WERROR="${CHIPWRIGHT_WERROR:-OFF}"
cmake --build build
ctest --test-dir build --output-on-failure -j2
