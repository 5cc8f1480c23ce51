#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs what is missing, builds the program and runs it; the arguments go to the
# program (README: `bash scripts/run.sh --simulate` runs it with the simulated
# programmer, since a fresh machine has none).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake -S . -B build -G Ninja
cmake --build build --target chipwright
exec build/bin/chipwright "$@"
