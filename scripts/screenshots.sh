#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The user manual's pictures, taken from the real program in simulate mode on Qt's
# off-screen platform: the main window, the chip search, the buffer fill and the About
# dialog, and the report of Verify, All Differences, in English and in Chinese, into
# resources/manual/images/. The main window shows the first bytes of LICENSE in its
# buffer; the verify compares them with a simulated chip that differs in three ranges.
# Run after changing the window.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
[ -f "$build/CMakeCache.txt" ] || cmake -S . -B "$build" -G Ninja
cmake --build "$build" --target chipwright
out=resources/manual/images
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# A copy of the program's folder: the language is set in its config.ini, and the
# start-up's settings and log stay in the copy.
cp "$build/bin/chipwright" "$build/bin/config.ini" "$build"/bin/*.cwdb "$build"/bin/*.png "$work/"
for lang in en zh; do
  name=English
  [ "$lang" = zh ] && name=SimpleChinese
  sed -i "s/^DefaultLanguage=.*/DefaultLanguage=$name\r/" "$work/config.ini"
  shots=()
  for what in main search fill about verify; do
    shots+=(--screenshot "$what=$PWD/$out/${what}_$lang.png")
  done
  QT_QPA_PLATFORM=offscreen "$work/chipwright" --simulate "${shots[@]}" LICENSE
done
ls -l "$out"
