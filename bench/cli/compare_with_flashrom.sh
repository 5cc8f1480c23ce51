#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Whole-process comparison: chipwright-cli reading a 16 MiB chip from the unthrottled
# simulated programmer, against flashrom's software emulator reading a 16 MiB W25Q128FV
# image, in one run on the same machine. Prints both rates and peak resident memories.
# Usage: bench/cli/compare_with_flashrom.sh [build dir]
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
cli=$build/bin/chipwright-cli
[ -x "$cli" ] || { echo "build $cli first: cmake --build $build --target chipwright-cli" >&2; exit 1; }
command -v flashrom > /dev/null || { echo "flashrom is missing: bash scripts/bootstrap.sh installs it" >&2; exit 1; }

bytes=$((16 * 1024 * 1024))
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c "$bytes" /dev/urandom > "$work/image"

# Wall time and peak resident set (KiB) of one command, from GNU time's format or
# python's resource accounting when /usr/bin/time is absent.
measure() {
  python3 - "$@" <<'PY'
import resource, subprocess, sys, time
start = time.monotonic()
done = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
seconds = time.monotonic() - start
if done.returncode != 0:
    sys.exit(f"{sys.argv[1]} failed with status {done.returncode}")
print(seconds, resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)
PY
}

read -r ours_s ours_kb < <(measure "$cli" --simulate=W25Q128JV --sim-speed max -q read "$work/ours.bin")
read -r theirs_s theirs_kb < <(measure flashrom -p "dummy:emulate=W25Q128FV,image=$work/image" \
  -c W25Q128.V -r "$work/theirs.bin")
cmp -s "$work/image" "$work/theirs.bin" || { echo "flashrom read back a different image" >&2; exit 1; }
[ "$(stat -c %s "$work/ours.bin")" -eq "$bytes" ] || { echo "chipwright-cli read a wrong size" >&2; exit 1; }

python3 -c "
b = $bytes
ours, theirs = b / $ours_s / 1e6, b / $theirs_s / 1e6
print(f'chipwright-cli --simulate=W25Q128JV --sim-speed max read: {ours:8.1f} MB/s  {$ours_kb/1024:6.1f} MiB resident')
print(f'flashrom dummy emulator W25Q128FV read (whole run):       {theirs:8.1f} MB/s  {$theirs_kb/1024:6.1f} MiB resident')
print(f'rate ratio: {ours / theirs:.1f}x')"
