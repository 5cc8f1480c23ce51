#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Whole-process comparison: chipwright-cli reading a 16 MiB chip from the unthrottled
# simulated programmer, against flashrom's software emulator reading a 16 MiB W25Q128FV
# image, in one run on the same machine. Both chips hold the same random bytes (an erased
# simulated chip would cost nothing to read): flashrom's from its image file, ours from a
# copy of that file given as --sim-memory. Prints both median wall times and peak resident
# memories, and our share of each.
# RUNS=N sets how many times each runs (7).
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
cp "$work/image" "$work/chip"

# Each command runs `runs` times, the two alternating so that both see the same
# moments of a shared machine; the median wall time and the largest peak resident set
# (KiB, from the kernel's accounting of each child) are reported.
runs=${RUNS:-7}
python3 - "$runs" "$bytes" "$work" "$cli" <<'PY'
import os, statistics, subprocess, sys, time
runs, size, work, cli = int(sys.argv[1]), int(sys.argv[2]), sys.argv[3], sys.argv[4]
ours_name = "chipwright-cli --simulate=W25Q128JV --sim-speed max --sim-memory read"
theirs_name = "flashrom dummy emulator W25Q128FV read"
commands = {
    ours_name:
        [cli, "--simulate=W25Q128JV", "--sim-speed", "max", "--sim-memory", f"{work}/chip",
         "-q", "read", f"{work}/ours.bin"],
    theirs_name:
        ["flashrom", "-p", f"dummy:emulate=W25Q128FV,image={work}/image", "-c", "W25Q128.V",
         "-r", f"{work}/theirs.bin"],
}
seconds = {name: [] for name in commands}
peak = {name: 0 for name in commands}
for _ in range(runs):
    for name, argv in commands.items():
        if os.path.exists(argv[-1]):  # each run writes a new file, as a first run does
            os.remove(argv[-1])
        start = time.monotonic()
        child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
        seconds[name].append(time.monotonic() - start)
        if status != 0:
            sys.exit(f"{argv[0]} failed with status {status}")
        peak[name] = max(peak[name], usage.ru_maxrss)
with open(f"{work}/image", "rb") as f:
    image = f.read()
for out in ("theirs.bin", "ours.bin", "chip"):
    with open(f"{work}/{out}", "rb") as f:
        if f.read() != image:
            sys.exit(f"{out} differs from the random image")
wall = {name: statistics.median(seconds[name]) for name in commands}
for name in commands:
    print(f"{name:70s} {wall[name]:7.3f} s {size / wall[name] / 1e6:8.1f} MB/s"
          f" {peak[name] / 1024:6.1f} MiB resident")
print(f"speed ratio (their wall time / ours): {wall[theirs_name] / wall[ours_name]:.2f}x"
      f" (median of {runs} runs each; the aim is at least 5x)")
print(f"peak resident ratio (ours / theirs): {peak[ours_name] / peak[theirs_name]:.2f}"
      f" (the aim is at most 1)")
PY
