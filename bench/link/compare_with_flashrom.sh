#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Runs the 16 MB chip-read benchmark (unthrottled simulated programmer, UsbLink and
# Programmer) and flashrom's software chip emulator on the same machine, one after the
# other, and prints both rates and their ratio.
# Usage: bench/link/compare_with_flashrom.sh [build dir]   (built with -DCHIPWRIGHT_BUILD_BENCH=ON)
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
bench=$build/bin/chip_read_bench
if [ ! -x "$bench" ]; then
  echo "build $bench first: cmake -S . -B $build -DCHIPWRIGHT_BUILD_BENCH=ON && cmake --build $build --target chip_read_bench" >&2
  exit 1
fi
if ! command -v flashrom > /dev/null; then
  echo "flashrom is missing: bash scripts/bootstrap.sh installs it" >&2
  exit 1
fi

bytes=$((16 * 1024 * 1024))
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Ours: the read as the chip operations poll it would be slower only by the polling
# pause; the figure here polls without a pause.
ours=$("$bench" --benchmark_filter='readChip16MB/0/' --benchmark_format=json \
  --benchmark_repetitions=5 --benchmark_report_aggregates_only=true |
  python3 -c 'import json,sys
runs=[b for b in json.load(sys.stdin)["benchmarks"] if b.get("aggregate_name")=="median"]
print(runs[0]["bytes_per_second"]/1e6)')

# flashrom: a 16 MiB W25Q128FV emulated in software, read to a file.
head -c "$bytes" /dev/urandom > "$work/image"
start=$(date +%s.%N)
flashrom -p "dummy:emulate=W25Q128FV,image=$work/image" -c W25Q128.V -r "$work/out" > "$work/log" 2>&1 ||
  { cat "$work/log"; exit 1; }
end=$(date +%s.%N)
cmp -s "$work/image" "$work/out" || { echo "flashrom read back a different image" >&2; exit 1; }
theirs=$(python3 -c "print($bytes / ($end - $start) / 1e6)")

python3 -c "
ours, theirs = $ours, $theirs
print(f'chip_read_bench (UsbLink + Programmer, simulated programmer): {ours:8.1f} MB/s')
print(f'flashrom dummy emulator W25Q128FV (whole run):                {theirs:8.1f} MB/s')
print(f'ratio: {ours / theirs:.1f}x')"
