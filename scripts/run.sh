#!/usr/bin/env bash
# Installs what is missing, builds the program and runs it.
# Until the main window lands there is no program window yet: this builds
# everything and lists the chip database the program will load.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh
cmake -S . -B build -G Ninja
cmake --build build --target runtime_files
echo "chipwright: the main window is not built yet; the chip database it will load:"
exec build/bin/chipdb --list build/bin/chips.cwdb
